#include "FileRange.h"
#include "HttpClient.h"
#include "TransferTestSupport.h"
#include "UploadCompletion.h"
#include "UploadDriver.h"

#include <QTest>

using namespace TransferTest;

namespace {
constexpr qint64 halfSecond = 500'000'000;
constexpr qint64 oneSecond = 1'000'000'000;
const QByteArray twentyFiveBytes = "ABCDEFGHIJKLMNOPQRSTUVWXY";

QByteArray quotedETag(qint64 partNumber)
{
    return "\"etag-" + QByteArray::number(partNumber) + '"';
}

QList<CompletedPart> storedParts(const QList<qint64> &partNumbers)
{
    QList<CompletedPart> parts;
    for (const qint64 partNumber : partNumbers)
        parts.append({partNumber, QString::fromUtf8(quotedETag(partNumber))});
    return parts;
}

QList<qint64> range(qint64 first, qint64 last)
{
    QList<qint64> values;
    for (qint64 value = first; value <= last; ++value)
        values.append(value);
    return values;
}

qint64 partNumberOf(const RecordedRequest &request)
{
    return request.query().queryItemValue("partNumber").toLongLong();
}
}

class UploadDriverTest : public QObject
{
    Q_OBJECT

    TestHttpServer *server = nullptr;
    std::unique_ptr<QTemporaryDir> dir;
    QUrl completeUrl;
    // Per test: how the store answers a PUT of a part and the completion POST.
    std::function<ScriptedResponse(qint64 partNumber)> answerPart;
    std::function<ScriptedResponse()> answerCompletion;

    QString partUrl(qint64 partNumber) const
    {
        return server->url(QStringLiteral("/bucket/movie.mov?partNumber=%1&uploadId=u%2B1&X-Amz-Signature=ab%2Fcd")
                                   .arg(partNumber))
                .toString(QUrl::FullyEncoded);
    }

    QList<PresignedChunkUrl> chunkUrls(const QList<qint64> &chunkIds) const
    {
        QList<PresignedChunkUrl> urls;
        for (const qint64 chunkId : chunkIds)
            urls.append({partUrl(chunkId), chunkId});
        return urls;
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
                               std::optional<QUrl> completion, MessageLog &messages,
                               const Diagnostics::Capture &output, CancellationToken *cancellation = nullptr)
    {
        return finishWithin(uploadFileSequentially(QUrl::fromLocalFile(path), chunkSize, urls, std::move(completion),
                                                   messages.callback(output), cancellation));
    }

    QString startLine() const
    {
        return "Starting sequential upload with complete url: " + completeUrl.toString(QUrl::FullyEncoded);
    }

private Q_SLOTS:
    void init()
    {
        server = new TestHttpServer(this);
        QVERIFY(server->listen());
        dir = std::make_unique<QTemporaryDir>();
        completeUrl = server->url("/bucket/movie.mov?uploadId=u%2B1&X-Amz-Signature=ef%2Fgh");
        answerPart = [](qint64 partNumber) { return ScriptedResponse::withETag(quotedETag(partNumber)); };
        answerCompletion = [] { return answer(200); };
        server->setHandler([this](const RecordedRequest &head) {
            return head.method == "PUT" ? answerPart(partNumberOf(head)) : answerCompletion();
        });
        HttpClient::setTransferTimeout(fallbackTimeout);
    }

    void cleanup()
    {
        delete server;
        server = nullptr;
        dir.reset();
    }

    void twentyFiveBytesInThreeChunks()
    {
        const QString path = writeFile(*dir, "movie.mov", twentyFiveBytes);
        Diagnostics::Capture output;
        MessageLog messages;

        const auto stored = upload(path, 10, chunkUrls({1, 2, 3}), completeUrl, messages, output);

        QCOMPARE(stored, true);
        const QString document = completionDocument(storedParts({1, 2, 3}));
        QVERIFY(document.contains("<ETag>\"etag-2\"</ETag>"));
        QCOMPARE(output.lines(), (QStringList{startLine(),
                                              "📊 File size: 25 bytes, Total chunks: 3, Chunk size: 10",
                                              "📤 Uploading chunk 1/3 (offset: 0, size: 10)",
                                              "📋 Part 1 ETag: \"etag-1\"",
                                              "📤 Uploading chunk 2/3 (offset: 10, size: 10)",
                                              "📋 Part 2 ETag: \"etag-2\"",
                                              "📤 Uploading chunk 3/3 (offset: 20, size: 5)",
                                              "📋 Part 3 ETag: \"etag-3\"",
                                              "📋 All chunks uploaded. Total completed parts: 3",
                                              document,
                                              "✅ Finalization successful!"}));
        QCOMPARE(messages.texts, (QStringList{"Uploaded (40%)", "Uploaded (80%)", "Uploaded (100%)"}));
        QCOMPARE(messages.linesBefore, (QList<qsizetype>{4, 6, 8}));
        QVERIFY(messages.onUiThread);

        const QList<RecordedRequest> requests = server->requests();
        QCOMPARE(requests.size(), 4);
        const QList<QByteArray> bodies{"ABCDEFGHIJ", "KLMNOPQRST", "UVWXY"};
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(requests[i].method, "PUT");
            QCOMPARE(requests[i].target, "/bucket/movie.mov?partNumber=" + QByteArray::number(i + 1)
                                                 + "&uploadId=u%2B1&X-Amz-Signature=ab%2Fcd");
            QCOMPARE(requests[i].body, bodies[i]);
            QCOMPARE(requests[i].header("Content-Type"), "application/octet-stream");
            QCOMPARE(requests[i].header("Content-Length"), QByteArray::number(bodies[i].size()));
        }
        QCOMPARE(requests[3].method, "POST");
        QCOMPARE(requests[3].target, "/bucket/movie.mov?uploadId=u%2B1&X-Amz-Signature=ef%2Fgh");
        QCOMPARE(requests[3].header("Content-Type"), "application/xml");
        QCOMPARE(requests[3].body, document.toUtf8());
        QCOMPARE(server->connectionCount(), 1);
    }

    // Byte ranges follow the position in ascending id order; each part keeps its own id.
    void partsFollowChunkIdOrder_data()
    {
        QTest::addColumn<QList<qint64>>("givenIds");
        QTest::addColumn<QList<qint64>>("sentIds");
        QTest::newRow("descending ids") << QList<qint64>{3, 2, 1} << QList<qint64>{1, 2, 3};
        QTest::newRow("ids from 0, shuffled") << QList<qint64>{1, 2, 0} << QList<qint64>{0, 1, 2};
    }

    void partsFollowChunkIdOrder()
    {
        QFETCH(QList<qint64>, givenIds);
        QFETCH(QList<qint64>, sentIds);
        const QString path = writeFile(*dir, "movie.mov", twentyFiveBytes);
        Diagnostics::Capture output;
        MessageLog messages;

        QCOMPARE(upload(path, 10, chunkUrls(givenIds), completeUrl, messages, output), true);

        const QList<RecordedRequest> puts = requestsWithMethod("PUT");
        QCOMPARE(puts.size(), 3);
        const QList<QByteArray> bodies{"ABCDEFGHIJ", "KLMNOPQRST", "UVWXY"};
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(partNumberOf(puts[i]), sentIds[i]);
            QCOMPARE(puts[i].body, bodies[i]);
        }
        QCOMPARE(output.lines().value(2), QStringLiteral("📤 Uploading chunk %1/3 (offset: 0, size: 10)").arg(sentIds[0]));
        QCOMPARE(requestsWithMethod("POST").value(0).body, completionDocument(storedParts(sentIds)).toUtf8());
    }

    void chunkStartingAtTheEndIsSentEmpty()
    {
        const QString path = writeFile(*dir, "movie.mov", twentyFiveBytes.left(20));
        Diagnostics::Capture output;
        MessageLog messages;

        QCOMPARE(upload(path, 10, chunkUrls({1, 2, 3}), completeUrl, messages, output), true);

        QVERIFY(output.lines().contains("📤 Uploading chunk 3/3 (offset: 20, size: 0)"));
        const QList<RecordedRequest> puts = requestsWithMethod("PUT");
        QCOMPARE(puts.size(), 3);
        QCOMPARE(puts[2].body, QByteArray());
        QCOMPARE(puts[2].header("Content-Length"), "0");
        QCOMPARE(messages.texts, (QStringList{"Uploaded (50%)", "Uploaded (100%)", "Uploaded (100%)"}));
        QCOMPARE(requestsWithMethod("POST").value(0).body, completionDocument(storedParts({1, 2, 3})).toUtf8());
    }

    void chunkBeyondTheEndIsASizeMismatch()
    {
        const QString path = writeFile(*dir, "movie.mov", twentyFiveBytes.left(20));
        Diagnostics::Capture output;
        MessageLog messages;

        QCOMPARE(upload(path, 10, chunkUrls({1, 2, 3, 4}), completeUrl, messages, output), false);

        QCOMPARE(output.lines().mid(output.lines().size() - 2),
                 (QStringList{"📤 Uploading chunk 4/4 (offset: 30, size: -10)",
                              "❌ Read chunk size mismatch: expected -10, got 0"}));
        QCOMPARE(requestsWithMethod("PUT").size(), 3);
        QVERIFY(requestsWithMethod("POST").isEmpty());
    }

    void fileShrinkingMidRunStopsAtTheShortRead()
    {
        const QString path = writeFile(*dir, "movie.mov", twentyFiveBytes);
        answerPart = [&](qint64 partNumber) {
            if (partNumber == 2)
                QFile::resize(path, 22);
            return ScriptedResponse::withETag(quotedETag(partNumber));
        };
        Diagnostics::Capture output;
        MessageLog messages;

        QCOMPARE(upload(path, 10, chunkUrls({1, 2, 3}), completeUrl, messages, output), false);

        QCOMPARE(output.lines().last(), "❌ Read chunk size mismatch: expected 5, got 2");
        QCOMPARE(requestsWithMethod("PUT").size(), 2);
        QVERIFY(requestsWithMethod("POST").isEmpty());
        QCOMPARE(messages.texts, (QStringList{"Uploaded (40%)", "Uploaded (80%)"}));
    }

    // Chunks are read into the memory of the chunk before, which must never change bytes that
    // someone still holds.
    void chunkReadsLeaveHeldBytesAlone()
    {
        QFile file(writeFile(*dir, "movie.mov", twentyFiveBytes));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray held = readFileRange(file, 0, 10).value();

        const auto next = readFileRange(file, 10, 10, held);
        const auto last = readFileRange(file, 20, 10, next.value());
        const auto beyond = readFileRange(file, 30, 10, QByteArray(last.value()));

        QCOMPARE(held, "ABCDEFGHIJ");
        QCOMPARE(next.value(), "KLMNOPQRST");
        QCOMPARE(last.value(), "UVWXY");
        QCOMPARE(beyond.value(), "");
    }

    void failedPartEndsTheRun()
    {
        const QString path = writeFile(*dir, "movie.mov", twentyFiveBytes);
        answerPart = [](qint64 partNumber) {
            return partNumber == 2 ? answer(500) : ScriptedResponse::withETag(quotedETag(partNumber));
        };
        SleepRecorder sleeps;
        Diagnostics::Capture output;
        MessageLog messages;

        QCOMPARE(upload(path, 10, chunkUrls({1, 2, 3}), completeUrl, messages, output), false);

        QCOMPARE(output.lines().mid(4), (QStringList{"📤 Uploading chunk 2/3 (offset: 10, size: 10)",
                                                     "⚠️ Upload attempt 1 failed for part 2: HTTP 500",
                                                     "⚠️ Upload attempt 2 failed for part 2: HTTP 500",
                                                     "⚠️ Upload attempt 3 failed for part 2: HTTP 500",
                                                     "❌ Upload failed for chunk 2: HTTP 500"}));
        QCOMPARE(requestsWithMethod("PUT").size(), 4);
        QVERIFY(requestsWithMethod("POST").isEmpty());
    }

    void refusedCompletionIsReportedInFull()
    {
        const QString path = writeFile(*dir, "movie.mov", twentyFiveBytes);
        answerCompletion = [] { return answer(403); };
        SleepRecorder sleeps;
        Diagnostics::Capture output;
        MessageLog messages;

        QCOMPARE(upload(path, 10, chunkUrls({1, 2, 3}), completeUrl, messages, output), false);

        QCOMPARE(output.lines().last(), "❌ Error finalizing upload: UploadError (code 403): Server returned an error");
        QCOMPARE(requestsWithMethod("POST").size(), 4);
    }

    void emptyFileWithoutUrlsPostsAnEmptyCompletion()
    {
        const QString path = writeFile(*dir, "empty.mov", QByteArray());
        Diagnostics::Capture output;
        MessageLog messages;

        QCOMPARE(upload(path, 10, {}, completeUrl, messages, output), true);

        QCOMPARE(output.lines(), (QStringList{startLine(), "📊 File size: 0 bytes, Total chunks: 0, Chunk size: 10",
                                              "📋 All chunks uploaded. Total completed parts: 0",
                                              completionDocument({}), "✅ Finalization successful!"}));
        QCOMPARE(server->requests().size(), 1);
        QVERIFY(messages.texts.isEmpty());
    }

    void singleUrlSendsTheWholeFileInOnePut_data()
    {
        QTest::addColumn<QByteArray>("contents");
        QTest::newRow("several read blocks") << patterned(3 * 1024 * 1024 + 5);
        QTest::newRow("empty file") << QByteArray();
    }

    void singleUrlSendsTheWholeFileInOnePut()
    {
        QFETCH(QByteArray, contents);
        const QString path = writeFile(*dir, "movie.mov", contents);
        Diagnostics::Capture output;
        MessageLog messages;

        QCOMPARE(upload(path, 10, chunkUrls({7}), std::nullopt, messages, output), true);

        QCOMPARE(output.lines(), (QStringList{"📋 Part 1 ETag: \"etag-7\"", "✅ Single upload successful"}));
        QCOMPARE(messages.texts, QStringList{"Uploaded (100%)"});
        const QList<RecordedRequest> requests = server->requests();
        QCOMPARE(requests.size(), 1);
        QCOMPARE(requests[0].method, "PUT");
        QCOMPARE(partNumberOf(requests[0]), 7);
        QCOMPARE(requests[0].header("Content-Type"), "application/octet-stream");
        QCOMPARE(requests[0].header("Content-Length"), QByteArray::number(contents.size()));
        QVERIFY(requests[0].body == contents);
    }

    void fileShrinkingDuringTheSinglePutFailsEveryAttempt()
    {
        const QString path = writeFile(*dir, "movie.mov", patterned(3 * 1024 * 1024));
        answerPart = [&](qint64 partNumber) {
            QFile::resize(path, 1024 * 1024 + 100);
            return ScriptedResponse::withETag(quotedETag(partNumber));
        };
        SleepRecorder sleeps;
        Diagnostics::Capture output;
        MessageLog messages;

        QCOMPARE(upload(path, 10, chunkUrls({1}), std::nullopt, messages, output), false);

        const QString reason = "The file became shorter while it was being sent.";
        QCOMPARE(output.lines(), (QStringList{"⚠️ Upload attempt 1 failed for part 1: " + reason,
                                              "⚠️ Upload attempt 2 failed for part 1: " + reason,
                                              "⚠️ Upload attempt 3 failed for part 1: " + reason,
                                              "❌ Single upload failed: " + reason}));
        QVERIFY(messages.texts.isEmpty());
    }

    void refusedSingleUpload()
    {
        const QString path = writeFile(*dir, "movie.mov", twentyFiveBytes);
        answerPart = [](qint64) { return answer(403); };
        SleepRecorder sleeps;
        Diagnostics::Capture output;
        MessageLog messages;

        QCOMPARE(upload(path, 10, chunkUrls({1}), completeUrl, messages, output), false);

        QCOMPARE(output.lines().size(), 4);
        QCOMPARE(output.lines().last(), "❌ Single upload failed: HTTP 403");
        QCOMPARE(sleeps.requested, (QList<qint64>{halfSecond, oneSecond}));
        QVERIFY(requestsWithMethod("POST").isEmpty());
    }

    void missingFile_data()
    {
        QTest::addColumn<QList<qint64>>("chunkIds");
        QTest::addColumn<QString>("lastLine");
        QTest::newRow("single URL") << QList<qint64>{1} << "❌ Failed to read file data";
        QTest::newRow("chunks") << QList<qint64>{1, 2} << "❌ Failed to open file";
    }

    void missingFile()
    {
        QFETCH(QList<qint64>, chunkIds);
        QFETCH(QString, lastLine);
        Diagnostics::Capture output;
        MessageLog messages;

        QCOMPARE(upload(dir->filePath("missing.mov"), 10, chunkUrls(chunkIds), completeUrl, messages, output), false);

        QCOMPARE(output.lines().last(), lastLine);
        QCOMPARE(server->connectionCount(), 0);
    }

    // Sessions that could not store the file intact are refused before anything is sent.
    void unsoundSessionFailsBeforeSending_data()
    {
        QTest::addColumn<int>("fileSize");
        QTest::addColumn<qint64>("chunkSize");
        QTest::addColumn<int>("urlCount");
        QTest::addColumn<QString>("completion");
        QTest::addColumn<QStringList>("tail");
        const QString valid = "valid";
        QTest::newRow("file longer than the chunks")
                << 31 << qint64(10) << 3 << valid
                << QStringList{"📊 File size: 31 bytes, Total chunks: 3, Chunk size: 10",
                               "❌ The presigned chunks cannot hold the whole file: 3 chunks of 10 bytes for 31 bytes"};
        QTest::newRow("no URL for a non-empty file")
                << 5 << qint64(10) << 0 << valid
                << QStringList{"📊 File size: 5 bytes, Total chunks: 0, Chunk size: 10",
                               "❌ The presigned chunks cannot hold the whole file: 0 chunks of 10 bytes for 5 bytes"};
        QTest::newRow("zero chunk size") << 25 << qint64(0) << 3 << valid
                                         << QStringList{"📊 File size: 25 bytes, Total chunks: 3, Chunk size: 0",
                                                        "❌ Invalid chunk size: 0"};
        QTest::newRow("negative chunk size") << 25 << qint64(-10) << 3 << valid
                                             << QStringList{"📊 File size: 25 bytes, Total chunks: 3, Chunk size: -10",
                                                            "❌ Invalid chunk size: -10"};
        QTest::newRow("no completion URL") << 25 << qint64(10) << 3 << QString()
                                           << QStringList{"❌ No completion URL for the multipart upload"};
        QTest::newRow("completion URL not on the network")
                << 25 << qint64(10) << 3 << "file:///tmp/complete"
                << QStringList{"❌ Invalid completion URL: file:///tmp/complete"};
    }

    void unsoundSessionFailsBeforeSending()
    {
        QFETCH(int, fileSize);
        QFETCH(qint64, chunkSize);
        QFETCH(int, urlCount);
        QFETCH(QString, completion);
        QFETCH(QStringList, tail);
        const QString path = writeFile(*dir, "movie.mov", patterned(fileSize));
        std::optional<QUrl> completionUrl;
        if (completion == "valid")
            completionUrl = completeUrl;
        else if (!completion.isEmpty())
            completionUrl = QUrl(completion);
        Diagnostics::Capture output;
        MessageLog messages;

        QCOMPARE(upload(path, chunkSize, chunkUrls(range(1, urlCount)), completionUrl, messages, output), false);

        const QStringList lines = output.lines();
        QCOMPARE(lines.mid(lines.size() - tail.size()), tail);
        QVERIFY(lines.size() <= 3);
        QCOMPARE(server->connectionCount(), 0);
    }

    // The single PUT reads the file as it goes instead of loading it first: a change to the
    // file's end made once the request has started is what arrives.
    void singlePathStreamsFromDisk()
    {
        const qint64 size = 32 * 1024 * 1024;
        const QString path = writeFile(*dir, "large.mov", QByteArray(size, 'v'));
        bool changed = false;
        answerPart = [&](qint64 partNumber) {
            QFile file(path);
            changed = file.open(QIODevice::ReadWrite) && file.seek(size - 4) && file.write("TAIL") == 4;
            return ScriptedResponse::withETag(quotedETag(partNumber));
        };
        Diagnostics::Capture output;
        MessageLog messages;

        QCOMPARE(upload(path, 10, chunkUrls({1}), std::nullopt, messages, output), true);

        QVERIFY(changed);
        const QByteArray body = server->requests().value(0).body;
        QCOMPARE(body.size(), size);
        QCOMPARE(body.first(4), "vvvv");
        QCOMPARE(body.last(4), "TAIL");
    }

    // After a cancellation no request is sent and the run answers false through the line of
    // the step it was in.
    void cancellation_data()
    {
        QTest::addColumn<bool>("duringCompletion");
        QTest::addColumn<QStringList>("tail");
        QTest::addColumn<int>("puts");
        QTest::addColumn<int>("posts");
        QTest::newRow("part in flight")
                << false
                << QStringList{"⚠️ Upload attempt 1 failed for part 2: Operation canceled",
                               "⚠️ Upload attempt 2 failed for part 2: Operation canceled",
                               "⚠️ Upload attempt 3 failed for part 2: Operation canceled",
                               "❌ Upload failed for chunk 2: Operation canceled"}
                << 2 << 0;
        QTest::newRow("completion wait")
                << true << QStringList{"❌ Error finalizing upload: " + Error::cancelled().fullDescription()} << 3
                << 1;
    }

    void cancellation()
    {
        QFETCH(bool, duringCompletion);
        QFETCH(QStringList, tail);
        QFETCH(int, puts);
        QFETCH(int, posts);
        const QString path = writeFile(*dir, "movie.mov", twentyFiveBytes);
        CancellationToken token;
        SleepRecorder sleeps(1000.0);
        QList<QByteArray> heads;
        answerPart = [&](qint64 partNumber) {
            heads.append("PUT");
            if (partNumber == 2 && !duringCompletion) {
                cancelSoon(token);
                return ScriptedResponse::stall();
            }
            return ScriptedResponse::withETag(quotedETag(partNumber));
        };
        answerCompletion = [&] {
            heads.append("POST");
            return answer(500);
        };
        if (duringCompletion)
            sleeps.onWait = [&] { cancelSoon(token); };
        Diagnostics::Capture output;
        MessageLog messages;

        const auto stored = upload(path, 10, chunkUrls({1, 2, 3}), completeUrl, messages, output, &token);

        QVERIFY2(stored, "the cancellation did not end the run");
        QCOMPARE(*stored, false);
        const QStringList lines = output.lines();
        QCOMPARE(lines.mid(lines.size() - tail.size()), tail);
        QCOMPARE(heads.count("PUT"), puts);
        QCOMPARE(heads.count("POST"), posts);
    }
};

QTEST_GUILESS_MAIN(UploadDriverTest)
#include "tst_uploaddriver.moc"
