#include "CancellationToken.h"
#include "Diagnostics.h"
#include "OutageWait.h"
#include "StorageClient.h"
#include "StorageScene.h"
#include "UploadDriver.h"

#include <QRegularExpression>
#include <QTest>

using namespace TransferTest;

Q_DECLARE_METATYPE(StoredPart)

namespace {
// Part N of the 25-byte file in chunks of 10, as storage holds it.
StoredPart storedPart(qint64 partNumber)
{
    const qint64 offset = (partNumber - 1) * 10;
    return {partNumber, QStringLiteral("\"etag-%1\"").arg(partNumber), offset, std::min<qint64>(10, 25 - offset)};
}
}

class FileTransferTest : public QObject, StorageScene
{
    Q_OBJECT

    // The 25-byte file in three chunks with part 1 already stored, opened as the caller would.
    FileTransfer resumedTransfer(MessageLog &messages) const
    {
        FileTransfer request;
        request.file = std::make_shared<QFile>(writeFile(twentyFiveBytes));
        request.fileSize = request.file->open(QIODevice::ReadOnly) ? request.file->size() : -1;
        request.chunkSize = 10;
        request.chunkUrls = chunkUrls({3, 1, 2});
        request.completeUploadUrl = completeUrl();
        request.storedParts = {storedPart(1)};
        request.onMessage = messages.callback();
        return request;
    }

private Q_SLOTS:
    void init()
    {
        QVERIFY(start());
        OutageWait::setTimeScale(0.0);
    }

    void cleanup()
    {
        OutageWait::setTimeScale(1.0);
        stop();
    }

    // Parts storage holds are neither read nor sent, yet count in the progress, and the
    // completion lists every part in order; a part stored for another range is sent again. Each
    // newly stored part is reported right after its "📋 Part" line. A failure that time can heal
    // is waited out, 2 s and then 4 s into the same outage, and the same part (or the completion)
    // gets a fresh round of attempts. Any other failure ends the transfer with storage's status.
    void resumes_data()
    {
        QTest::addColumn<QList<StoredPart>>("stored");
        // Per request: a status, 0 to store, -1 to hang up (only on fresh connections: libcurl sends
        // again at once when a reused one is closed).
        QTest::addColumn<QList<int>>("script");
        QTest::addColumn<QList<qint64>>("puts");
        QTest::addColumn<int>("posts");
        QTest::addColumn<QStringList>("statuses");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<int>("refusal"); // the status the transfer fails with; 0 when stored
        QTest::addColumn<QStringList>("texts");
        const QList<StoredPart> first{storedPart(1)};
        const QStringList eightyThenAll{"Uploaded (80%)", "Uploaded (100%)"};
        const StoredPart elsewhere{2, "\"etag-2\"", 0, 10};
        const QString storageIn2 = "Waiting for storage… next try in 2 s";
        QTest::newRow("first and last stored") << QList{storedPart(3), storedPart(1)} << QList<int>{}
                                               << QList<qint64>{2} << 1 << QStringList{} << QString() << 0
                                               << QStringList{"Uploaded (100%)"};
        QTest::newRow("one stored for another range") << QList{storedPart(1), elsewhere} << QList<int>{}
                                                      << QList<qint64>{2, 3} << 1 << QStringList{} << QString()
                                                      << 0 << eightyThenAll;
        QTest::newRow("all stored") << QList{storedPart(1), storedPart(2), storedPart(3)} << QList<int>{}
                                    << QList<qint64>{} << 1 << QStringList{} << QString() << 0 << QStringList{};
        QTest::newRow("part answered 503 three times")
                << first << QList<int>{503, 503, 503} << QList<qint64>{2, 2, 2, 2, 3} << 1 << QStringList{storageIn2}
                << "storage answered 503" << 0 << eightyThenAll;
        QTest::newRow("connection lost for two rounds")
                << first << QList<int>{-1, -1, -1, -1, -1, -1} << QList<qint64>{2, 2, 2, 2, 2, 2, 2, 3} << 1
                << QStringList{"Waiting for the network… next try in 2 s", "Waiting for the network… next try in 4 s"}
                << "the connection to storage was lost" << 0 << eightyThenAll;
        QTest::newRow("completion answered 504 four times")
                << first << QList<int>{0, 0, 504, 504, 504, 504} << QList<qint64>{2, 3} << 5
                << QStringList{storageIn2} << "storage answered 504" << 0 << eightyThenAll;
        QTest::newRow("part refused 403") << first << QList<int>{403, 403, 403} << QList<qint64>{2, 2, 2} << 0
                                          << QStringList{} << QString() << 403 << QStringList{};
        QTest::newRow("completion refused 404") << first << QList<int>{0, 0, 404, 404, 404, 404}
                                                << QList<qint64>{2, 3} << 4 << QStringList{} << QString() << 404
                                                << eightyThenAll;
    }

    void resumes()
    {
        QFETCH(QList<StoredPart>, stored);
        QFETCH(QList<int>, script);
        QFETCH(QList<qint64>, puts);
        QFETCH(int, posts);
        QFETCH(QStringList, statuses);
        QFETCH(QString, reason);
        QFETCH(int, refusal);
        QFETCH(QStringList, texts);
        server->setHandler([&script](const RecordedRequest &head) {
            const int scripted = script.isEmpty() ? 0 : script.takeFirst();
            if (scripted == -1)
                return ScriptedResponse::closeWithoutResponse();
            if (scripted != 0)
                return answer(scripted);
            return head.method == "PUT" ? storePart(head) : answer(200);
        });
        SleepRecorder sleeps;
        Diagnostics::Capture output;
        MessageLog messages;
        OutageWait outageWait;
        QStringList announced;
        int resumed = 0;
        connect(&outageWait, &OutageWait::waiting, this, [&](const Outage &outage) {
            QCOMPARE(outage.reason, reason);
            announced.append(OutageWait::statusText(outage, outage.nextTry.addSecs(-outage.wait.count())));
        });
        connect(&outageWait, &OutageWait::resumed, this, [&] { ++resumed; });
        FileTransfer request = resumedTransfer(messages);
        request.storedParts = stored;
        request.outageWait = &outageWait;
        QList<StoredPart> newlyStored;
        QStringList linesBeforeReport;
        request.onPartStored = [&](const StoredPart &part) {
            newlyStored.append(part);
            linesBeforeReport.append(output.lines().last());
        };

        StorageClient storage;
        const auto outcome = finishWithin(transferFile(std::move(request), storage));

        QVERIFY(outcome);
        QCOMPARE(outcome->stored, refusal == 0);
        QCOMPARE(outcome->failure ? outcome->failure->httpStatus().value_or(-1) : 0, refusal);
        QList<qint64> putIds;
        for (const RecordedRequest &put : requestsWithMethod("PUT")) {
            putIds.append(partNumberOf(put));
            const StoredPart part = storedPart(putIds.last());
            QCOMPARE(put.body, twentyFiveBytes.mid(part.offset, part.size));
        }
        QCOMPARE(putIds, puts);
        QCOMPARE(messages.texts, texts);
        QCOMPARE(requestsWithMethod("POST").size(), posts);
        QCOMPARE(announced, statuses);
        QCOMPARE(resumed, statuses.size());
        const QStringList waitLines = output.lines().filter(QRegularExpression("^⏳ Waiting"));
        QCOMPARE(waitLines.size(), statuses.size());
        for (const QString &line : waitLines)
            QVERIFY2(line.endsWith(": " + reason), qPrintable(line));
        if (refusal != 0)
            return;
        QList<StoredPart> expected;
        QStringList partLines;
        for (qint64 id = 1; id <= 3; ++id) {
            if (!putIds.contains(id))
                continue;
            expected.append(storedPart(id));
            partLines.append("📋 Part " + QString::number(id) + " ETag: " + expected.last().eTag);
        }
        QCOMPARE(newlyStored, expected);
        QCOMPARE(linesBeforeReport, partLines);
        QCOMPARE(requestsWithMethod("POST").last().body, documentFor({1, 2, 3}).toUtf8());
        QCOMPARE(output.lines().filter("<CompleteMultipartUpload").size(), 1);
    }

    // Cancelling ends an outage's wait at once, and the transfer with the cancellation.
    void cancellationEndsTheOutageWait()
    {
        OutageWait::setTimeScale(1000.0); // a wait that would outlast the fallback
        server->setHandler([](const RecordedRequest &) { return answer(503); });
        SleepRecorder sleeps;
        Diagnostics::Capture output;
        MessageLog messages;
        CancellationToken token;
        OutageWait outageWait;
        connect(&outageWait, &OutageWait::waiting, &token, &CancellationToken::cancel);
        FileTransfer request = resumedTransfer(messages);
        request.cancellation = &token;
        request.outageWait = &outageWait;

        StorageClient storage;
        const auto outcome = finishWithin(transferFile(std::move(request), storage));

        QVERIFY2(outcome, "the cancellation did not end the wait");
        QVERIFY(!outcome->stored && outcome->failure && outcome->failure->isCancellation());
        QCOMPARE(output.lines().last(), "❌ Upload failed for chunk 2: Operation canceled");
        QCOMPARE(requestsWithMethod("PUT").size(), 3);
    }
};

QTEST_GUILESS_MAIN(FileTransferTest)
#include "tst_filetransfer.moc"
