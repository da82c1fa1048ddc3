#include "APIService.h"
#include "CancellationToken.h"
#include "Diagnostics.h"
#include "OutageWait.h"
#include "ServiceFixtures.h"
#include "TestProxy.h"
#include "TransferTestSupport.h"
#include "UploadDriver.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace TransferTest;

Q_DECLARE_METATYPE(StoredPart)

namespace {
const QByteArray twentyFiveBytes = "ABCDEFGHIJKLMNOPQRSTUVWXY";

// The completion document for parts whose ETags are "etag-N" with their quotes.
QString documentFor(const QList<qint64> &partNumbers)
{
    QString parts;
    for (const qint64 part : partNumbers)
        parts += QStringLiteral("<Part>\n   <ETag>\"etag-%1\"</ETag>\n   <PartNumber>%1</PartNumber>\n</Part>").arg(part);
    return "<CompleteMultipartUpload xmlns=\"http://s3.amazonaws.com/doc/2006-03-01/\">\n" + parts
            + "\n</CompleteMultipartUpload>";
}

qint64 partNumberOf(const RecordedRequest &request)
{
    return request.query().queryItemValue("partNumber").toLongLong();
}

ScriptedResponse storePart(const RecordedRequest &head)
{
    return ScriptedResponse::withETag("\"etag-" + QByteArray::number(partNumberOf(head)) + '"');
}

// Part N of the 25-byte file in chunks of 10, as storage holds it.
StoredPart storedPart(qint64 partNumber)
{
    const qint64 offset = (partNumber - 1) * 10;
    return {partNumber, QStringLiteral("\"etag-%1\"").arg(partNumber), offset, std::min<qint64>(10, 25 - offset)};
}
}

class UploadDriverTest : public QObject
{
    Q_OBJECT

    TestHttpServer *server = nullptr;
    std::unique_ptr<QTemporaryDir> dir;

    QString partUrl(qint64 partNumber, const QString &host = QStringLiteral("127.0.0.1")) const
    {
        return "http://" + host + u':' + QString::number(server->port()) + "/bucket/movie.mov?partNumber="
                + QString::number(partNumber) + "&uploadId=u%2B1&X-Amz-Signature=ab%2Fcd";
    }

    QList<PresignedChunkUrl> chunkUrls(const QList<qint64> &chunkIds) const
    {
        QList<PresignedChunkUrl> urls;
        for (const qint64 chunkId : chunkIds)
            urls.append({partUrl(chunkId), chunkId});
        return urls;
    }

    QUrl completeUrl() const { return server->url("/bucket/movie.mov?uploadId=u%2B1&X-Amz-Signature=ef%2Fgh"); }

    QString writeFile(const QByteArray &contents) const
    {
        const QString path = dir->filePath("movie.mov");
        QFile file(path);
        return file.open(QIODevice::WriteOnly) && file.write(contents) == contents.size() ? path : QString();
    }

    QList<RecordedRequest> requestsWithMethod(const QByteArray &method) const
    {
        QList<RecordedRequest> matching;
        for (const RecordedRequest &request : server->requests()) {
            if (request.method == method)
                matching.append(request);
        }
        return matching;
    }

    std::optional<bool> upload(const QString &path, qint64 chunkSize, const QList<PresignedChunkUrl> &urls,
                               std::optional<QUrl> completion, MessageLog &messages)
    {
        return finishWithin(uploadFileSequentially(QUrl::fromLocalFile(path), chunkSize, urls, std::move(completion),
                                                   messages.callback()));
    }

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
        server = new TestHttpServer(this);
        QVERIFY(server->listen());
        server->setHandler(
                [](const RecordedRequest &head) { return head.method == "PUT" ? storePart(head) : answer(200); });
        dir = std::make_unique<QTemporaryDir>();
        OutageWait::setTimeScale(0.0);
    }

    void cleanup()
    {
        OutageWait::setTimeScale(1.0);
        delete server;
        server = nullptr;
        dir.reset();
    }

    // Byte ranges follow the position in ascending id order while each part keeps its own id;
    // one URL takes the whole file in one PUT, without a completion. A file that shrank once
    // the first PUT arrived fails the first part it can no longer fill, and is never sent short.
    void runs_data()
    {
        QTest::addColumn<QByteArray>("contents");
        QTest::addColumn<QList<qint64>>("ids");
        QTest::addColumn<int>("refusal"); // the status of every PUT; 0 stores the part
        QTest::addColumn<int>("shrinkTo"); // -1: the file keeps its size
        QTest::addColumn<QList<QByteArray>>("bodies");
        QTest::addColumn<QStringList>("texts");
        QTest::addColumn<QStringList>("tail");
        const QList<QByteArray> threeBodies{"ABCDEFGHIJ", "KLMNOPQRST", "UVWXY"};
        const QList<QByteArray> lastOneEmpty{"ABCDEFGHIJ", "KLMNOPQRST", ""};
        const QStringList allTexts{"Uploaded (40%)", "Uploaded (80%)", "Uploaded (100%)"};
        const QStringList halves{"Uploaded (50%)", "Uploaded (100%)", "Uploaded (100%)"};
        const auto finalized = [](const QList<qint64> &parts) {
            return QStringList{QStringLiteral("📋 All chunks uploaded. Total completed parts: %1").arg(parts.size()),
                               documentFor(parts), "✅ Finalization successful!"};
        };
        const QStringList storedWhole{"📋 Part 1 ETag: \"etag-7\"", "✅ Single upload successful"};
        const QString shorter = "The file became shorter while it was being sent.";
        const QByteArray severalMiB = patterned(3 * 1024 * 1024 + 5);

        QTest::newRow("shuffled ids from 0") << twentyFiveBytes << QList<qint64>{1, 2, 0} << 0 << -1 << threeBodies
                                             << allTexts << finalized({0, 1, 2});
        QTest::newRow("empty file, no URL") << QByteArray() << QList<qint64>{} << 0 << -1 << QList<QByteArray>{}
                                            << QStringList{}
                                            << QStringList{"📊 File size: 0 bytes, Total chunks: 0, Chunk size: 10"}
                                                    + finalized({});
        QTest::newRow("a chunk at the very end goes empty")
                << twentyFiveBytes.left(20) << QList<qint64>{1, 2, 3} << 0 << -1 << lastOneEmpty << halves
                << QStringList{"📤 Uploading chunk 3/3 (offset: 20, size: 0)", "📋 Part 3 ETag: \"etag-3\""}
                        + finalized({1, 2, 3});
        QTest::newRow("a chunk beyond the end")
                << twentyFiveBytes.left(20) << QList<qint64>{1, 2, 3, 4} << 0 << -1 << lastOneEmpty << halves
                << QStringList{"📤 Uploading chunk 4/4 (offset: 30, size: -10)",
                               "❌ Read chunk size mismatch: expected -10, got 0"};
        QTest::newRow("the file shrinks between two parts")
                << twentyFiveBytes << QList<qint64>{1, 2, 3} << 0 << 22 << threeBodies.first(2) << allTexts.first(2)
                << QStringList{"📤 Uploading chunk 3/3 (offset: 20, size: 5)",
                               "❌ Read chunk size mismatch: expected 5, got 2"};
        QTest::newRow("one URL, several MiB") << severalMiB << QList<qint64>{7} << 0 << -1 << QList{severalMiB}
                                              << QStringList{"Uploaded (100%)"} << storedWhole;
        QTest::newRow("one URL, empty file") << QByteArray() << QList<qint64>{7} << 0 << -1 << QList{QByteArray()}
                                             << QStringList{"Uploaded (100%)"} << storedWhole;
        QTest::newRow("one URL, the file shrinks between two tries")
                << severalMiB << QList<qint64>{7} << 500 << 1024 * 1024 << QList{severalMiB} << QStringList{}
                << QStringList{"⚠️ Upload attempt 1 failed for part 1: HTTP 500",
                               "⚠️ Upload attempt 2 failed for part 1: " + shorter,
                               "⚠️ Upload attempt 3 failed for part 1: " + shorter, "❌ Single upload failed: " + shorter};
    }

    void runs()
    {
        QFETCH(QByteArray, contents);
        QFETCH(QList<qint64>, ids);
        QFETCH(int, refusal);
        QFETCH(int, shrinkTo);
        QFETCH(QList<QByteArray>, bodies);
        QFETCH(QStringList, texts);
        QFETCH(QStringList, tail);
        const QString path = writeFile(contents);
        if (refusal)
            server->setHandler([&](const RecordedRequest &) { return answer(refusal); });
        if (shrinkTo >= 0)
            connect(server, &TestHttpServer::requestReceived, server, [&] { QFile::resize(path, shrinkTo); });
        SleepRecorder sleeps;
        Diagnostics::Capture output;
        MessageLog messages;
        const bool multipart = ids.size() != 1;

        const auto stored = upload(path, 10, chunkUrls(ids), multipart ? std::optional(completeUrl()) : std::nullopt,
                                   messages);

        QCOMPARE(stored, tail.last().startsWith("✅"));
        const QStringList lines = output.lines();
        QCOMPARE(lines.mid(lines.size() - tail.size()), tail);
        std::sort(ids.begin(), ids.end());
        const QList<RecordedRequest> puts = requestsWithMethod("PUT");
        QCOMPARE(puts.size(), bodies.size());
        for (qsizetype i = 0; i < bodies.size(); ++i) {
            QCOMPARE(partNumberOf(puts[i]), ids[i]);
            QVERIFY(puts[i].body == bodies[i]);
        }
        const QList<RecordedRequest> completions = requestsWithMethod("POST");
        QCOMPARE(completions.size(), *stored && multipart ? 1 : 0);
        if (!completions.isEmpty())
            QCOMPARE(completions[0].body, documentFor(ids).toUtf8());
        if (*stored)
            QCOMPARE(server->connectionCount(), 1);
        QCOMPARE(messages.texts, texts);
        QVERIFY(messages.onUiThread);
    }

    // Sessions that could not store the file intact, and files that cannot be read, are refused
    // before anything is sent.
    void refusedBeforeSending_data()
    {
        QTest::addColumn<int>("fileSize"); // -1: no such file
        QTest::addColumn<qint64>("chunkSize");
        QTest::addColumn<int>("urlCount");
        QTest::addColumn<QString>("completion"); // "valid": the test server's
        QTest::addColumn<QString>("lastLine");
        QTest::newRow("file longer than the chunks")
                << 31 << qint64(10) << 3 << "valid"
                << "❌ The presigned chunks cannot hold the whole file: 3 chunks of 10 bytes for 31 bytes";
        QTest::newRow("no URL for a non-empty file")
                << 5 << qint64(10) << 0 << "valid"
                << "❌ The presigned chunks cannot hold the whole file: 0 chunks of 10 bytes for 5 bytes";
        QTest::newRow("zero chunk size") << 25 << qint64(0) << 3 << "valid" << "❌ Invalid chunk size: 0";
        QTest::newRow("no completion URL") << 25 << qint64(10) << 3 << QString()
                                           << "❌ No completion URL for the multipart upload";
        QTest::newRow("completion URL not on the network")
                << 25 << qint64(10) << 3 << "file:///tmp/complete" << "❌ Invalid completion URL: file:///tmp/complete";
        QTest::newRow("missing file, one URL") << -1 << qint64(10) << 1 << QString() << "❌ Failed to read file data";
        QTest::newRow("missing file, chunks") << -1 << qint64(10) << 2 << "valid" << "❌ Failed to open file";
    }

    void refusedBeforeSending()
    {
        QFETCH(int, fileSize);
        QFETCH(qint64, chunkSize);
        QFETCH(int, urlCount);
        QFETCH(QString, completion);
        QFETCH(QString, lastLine);
        const QString path = fileSize < 0 ? dir->filePath("missing.mov") : writeFile(patterned(fileSize));
        std::optional<QUrl> completionUrl;
        if (!completion.isEmpty())
            completionUrl = completion == "valid" ? completeUrl() : QUrl(completion);
        QList<qint64> ids;
        for (qint64 id = 1; id <= urlCount; ++id)
            ids.append(id);
        Diagnostics::Capture output;
        MessageLog messages;

        QCOMPARE(upload(path, chunkSize, chunkUrls(ids), completionUrl, messages), false);

        QCOMPARE(output.lines().last(), lastLine);
        QCOMPARE(server->connectionCount(), 0);
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

        const auto outcome = finishWithin(transferFile(std::move(request)));

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

        const auto outcome = finishWithin(transferFile(std::move(request)));

        QVERIFY2(outcome, "the cancellation did not end the wait");
        QVERIFY(!outcome->stored && outcome->failure && outcome->failure->isCancellation());
        QCOMPARE(output.lines().last(), "❌ Upload failed for chunk 2: Operation canceled");
        QCOMPARE(requestsWithMethod("PUT").size(), 3);
    }

    // With the proxy variables set, the service and storage are both reached through the
    // proxy only: their host names resolve nowhere else.
    void serviceAndStorageGoThroughTheProxy()
    {
        TestProxy proxy;
        QVERIFY(proxy.listen());
        proxy.addHost("storage.test", server->port());
        proxy.addHost("service.test", server->port());
        const QByteArray address = proxy.url().toEncoded();
        qputenv("http_proxy", address);
        qputenv("https_proxy", address);
        qunsetenv("no_proxy");
        const auto restore = qScopeGuard([] {
            qunsetenv("http_proxy");
            qunsetenv("https_proxy");
        });
        server->setHandler([](const RecordedRequest &head) {
            if (head.method == "GET")
                return ScriptedResponse::json(200, ServiceFixtures::workspaceJson());
            return head.method == "PUT" ? storePart(head) : answer(200);
        });
        const QString path = writeFile(twentyFiveBytes);
        const QString port = QString::number(server->port());
        const QString completion = "http://storage.test:" + port + "/bucket/movie.mov?uploadId=1";
        MessageLog messages;

        const APIService service("http://service.test:" + port + "/api");
        const auto workspace = finishWithin(service.pullStartupInformation("key"));
        const QList<PresignedChunkUrl> urls{{partUrl(1, "storage.test"), 1}, {partUrl(2, "storage.test"), 2}};
        const auto stored = upload(path, 20, urls, QUrl(completion), messages);

        QVERIFY(workspace && *workspace && workspace->value().workspace);
        QCOMPARE(stored, true);
        const QByteArray startup = "http://service.test:" + port.toUtf8() + "/api/upload-app/pull-startup-information";
        QCOMPARE(proxy.requestLines(),
                 (QList<QByteArray>{"GET " + startup + " HTTP/1.1",
                                    "PUT " + partUrl(1, "storage.test").toUtf8() + " HTTP/1.1",
                                    "PUT " + partUrl(2, "storage.test").toUtf8() + " HTTP/1.1",
                                    "POST " + completion.toUtf8() + " HTTP/1.1"}));
        QCOMPARE(requestsWithMethod("PUT").value(1).body, "UVWXY");
    }
};

QTEST_GUILESS_MAIN(UploadDriverTest)
#include "tst_uploaddriver.moc"
