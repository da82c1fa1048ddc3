#include "APIService.h"
#include "ServiceFixtures.h"
#include "TestProxy.h"
#include "TransferTestSupport.h"
#include "UploadDriver.h"

#include <QTest>

using namespace TransferTest;

namespace {
constexpr qint64 halfSecond = 500'000'000;
constexpr qint64 oneSecond = 1'000'000'000;
const QByteArray twentyFiveBytes = "ABCDEFGHIJKLMNOPQRSTUVWXY";
const QByteArray completionTarget = "/bucket/movie.mov?uploadId=u%2B1&X-Amz-Signature=ef%2Fgh";

QByteArray quotedETag(qint64 partNumber)
{
    return "\"etag-" + QByteArray::number(partNumber) + '"';
}

// The completion document for parts whose ETags are quotedETag(part number).
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
}

class UploadDriverTest : public QObject
{
    Q_OBJECT

    TestHttpServer *server = nullptr;
    std::unique_ptr<QTemporaryDir> dir;
    // Per test: how the store answers a PUT of a part and the completion POST.
    std::function<ScriptedResponse(qint64 partNumber)> answerPart;
    std::function<ScriptedResponse()> answerCompletion;

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

    QUrl completeUrl() const { return server->url(QString::fromLatin1(completionTarget)); }

    QString startLine() const
    {
        return "Starting sequential upload with complete url: http://127.0.0.1:" + QString::number(server->port())
                + QString::fromLatin1(completionTarget);
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

private Q_SLOTS:
    void init()
    {
        server = new TestHttpServer(this);
        QVERIFY(server->listen());
        dir = std::make_unique<QTemporaryDir>();
        answerPart = [](qint64 partNumber) { return ScriptedResponse::withETag(quotedETag(partNumber)); };
        answerCompletion = [] { return answer(200); };
        server->setHandler([this](const RecordedRequest &head) {
            return head.method == "PUT" ? answerPart(partNumberOf(head)) : answerCompletion();
        });
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

        const auto stored = upload(path, 10, chunkUrls({1, 2, 3}), completeUrl(), messages, output);

        QCOMPARE(stored, true);
        const QString document =
                "<CompleteMultipartUpload xmlns=\"http://s3.amazonaws.com/doc/2006-03-01/\">\n"
                "<Part>\n   <ETag>\"etag-1\"</ETag>\n   <PartNumber>1</PartNumber>\n</Part>"
                "<Part>\n   <ETag>\"etag-2\"</ETag>\n   <PartNumber>2</PartNumber>\n</Part>"
                "<Part>\n   <ETag>\"etag-3\"</ETag>\n   <PartNumber>3</PartNumber>\n</Part>\n"
                "</CompleteMultipartUpload>";
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
        }
        QCOMPARE(requests[3].method, "POST");
        QCOMPARE(requests[3].target, completionTarget);
        QCOMPARE(requests[3].body, document.toUtf8());
        QCOMPARE(server->connectionCount(), 1);
    }

    // Byte ranges follow the position in ascending id order while each part keeps its own id;
    // a range the file no longer holds, a refused part and a refused completion end the run.
    void multipartRuns_data()
    {
        QTest::addColumn<int>("fileSize");
        QTest::addColumn<QList<qint64>>("ids");
        QTest::addColumn<QString>("fault");
        QTest::addColumn<QList<qint64>>("sentIds");
        QTest::addColumn<QList<QByteArray>>("bodies");
        QTest::addColumn<int>("posts");
        QTest::addColumn<QStringList>("texts");
        QTest::addColumn<QStringList>("tail");
        const QList<QByteArray> threeBodies{"ABCDEFGHIJ", "KLMNOPQRST", "UVWXY"};
        const QStringList allTexts{"Uploaded (40%)", "Uploaded (80%)", "Uploaded (100%)"};
        const auto finalized = [](const QList<qint64> &parts) {
            return QStringList{QStringLiteral("📋 All chunks uploaded. Total completed parts: %1").arg(parts.size()),
                               documentFor(parts), "✅ Finalization successful!"};
        };
        QTest::newRow("descending ids") << 25 << QList<qint64>{3, 2, 1} << QString() << QList<qint64>{1, 2, 3}
                                        << threeBodies << 1 << allTexts << finalized({1, 2, 3});
        QTest::newRow("ids from 0, shuffled") << 25 << QList<qint64>{1, 2, 0} << QString() << QList<qint64>{0, 1, 2}
                                              << threeBodies << 1 << allTexts << finalized({0, 1, 2});
        QTest::newRow("empty file, no URL") << 0 << QList<qint64>{} << QString() << QList<qint64>{}
                                            << QList<QByteArray>{} << 1 << QStringList{}
                                            << QStringList{"📊 File size: 0 bytes, Total chunks: 0, Chunk size: 10"}
                                                    + finalized({});
        QTest::newRow("a chunk at the very end goes empty")
                << 20 << QList<qint64>{1, 2, 3} << QString() << QList<qint64>{1, 2, 3}
                << QList<QByteArray>{"ABCDEFGHIJ", "KLMNOPQRST", ""} << 1
                << QStringList{"Uploaded (50%)", "Uploaded (100%)", "Uploaded (100%)"}
                << QStringList{"📤 Uploading chunk 3/3 (offset: 20, size: 0)", "📋 Part 3 ETag: \"etag-3\""}
                        + finalized({1, 2, 3});
        QTest::newRow("a chunk beyond the end")
                << 20 << QList<qint64>{1, 2, 3, 4} << QString() << QList<qint64>{1, 2, 3}
                << QList<QByteArray>{"ABCDEFGHIJ", "KLMNOPQRST", ""} << 0
                << QStringList{"Uploaded (50%)", "Uploaded (100%)", "Uploaded (100%)"}
                << QStringList{"📤 Uploading chunk 4/4 (offset: 30, size: -10)",
                               "❌ Read chunk size mismatch: expected -10, got 0"};
        QTest::newRow("the file shrinks between two parts")
                << 25 << QList<qint64>{1, 2, 3} << "shrink" << QList<qint64>{1, 2} << threeBodies.first(2) << 0
                << allTexts.first(2)
                << QStringList{"📤 Uploading chunk 3/3 (offset: 20, size: 5)",
                               "❌ Read chunk size mismatch: expected 5, got 2"};
        QTest::newRow("a part refused three times")
                << 25 << QList<qint64>{1, 2, 3} << "refuse part" << QList<qint64>{1, 2, 2, 2}
                << QList<QByteArray>{"ABCDEFGHIJ", "KLMNOPQRST", "KLMNOPQRST", "KLMNOPQRST"} << 0 << allTexts.first(1)
                << QStringList{"⚠️ Upload attempt 1 failed for part 2: HTTP 500",
                               "⚠️ Upload attempt 2 failed for part 2: HTTP 500",
                               "⚠️ Upload attempt 3 failed for part 2: HTTP 500", "❌ Upload failed for chunk 2: HTTP 500"};
        QTest::newRow("the completion refused four times")
                << 25 << QList<qint64>{1, 2, 3} << "refuse completion" << QList<qint64>{1, 2, 3} << threeBodies << 4
                << allTexts << QStringList{"❌ Error finalizing upload: UploadError (code 500): Server returned an error"};
    }

    void multipartRuns()
    {
        QFETCH(int, fileSize);
        QFETCH(QList<qint64>, ids);
        QFETCH(QString, fault);
        QFETCH(QList<qint64>, sentIds);
        QFETCH(QList<QByteArray>, bodies);
        QFETCH(int, posts);
        QFETCH(QStringList, texts);
        QFETCH(QStringList, tail);
        const QString path = writeFile(*dir, "movie.mov", twentyFiveBytes.left(fileSize));
        answerPart = [&](qint64 partNumber) {
            if (partNumber == 2 && fault == "shrink")
                QFile::resize(path, 22);
            if (partNumber == 2 && fault == "refuse part")
                return answer(500);
            return ScriptedResponse::withETag(quotedETag(partNumber));
        };
        answerCompletion = [&] { return answer(fault == "refuse completion" ? 500 : 200); };
        SleepRecorder sleeps;
        Diagnostics::Capture output;
        MessageLog messages;

        const auto stored = upload(path, 10, chunkUrls(ids), completeUrl(), messages, output);

        QCOMPARE(stored, tail.last().startsWith("✅"));
        const QStringList lines = output.lines();
        QCOMPARE(lines.mid(lines.size() - tail.size()), tail);
        const QList<RecordedRequest> puts = requestsWithMethod("PUT");
        QCOMPARE(puts.size(), bodies.size());
        for (qsizetype i = 0; i < bodies.size(); ++i) {
            QCOMPARE(partNumberOf(puts[i]), sentIds[i]);
            QCOMPARE(puts[i].body, bodies[i]);
        }
        const QList<RecordedRequest> completions = requestsWithMethod("POST");
        QCOMPARE(completions.size(), posts);
        if (*stored)
            QCOMPARE(completions[0].body, tail[tail.size() - 2].toUtf8());
        QCOMPARE(messages.texts, texts);
    }

    // One URL: the whole file streams from disk in one PUT, without a completion. A file that
    // has become shorter fails every attempt; it is never sent short.
    void singleUrl_data()
    {
        QTest::addColumn<QByteArray>("contents");
        QTest::addColumn<int>("refusal"); // 0: stored
        QTest::addColumn<bool>("shrinks"); // once the first attempt has arrived
        QTest::addColumn<QStringList>("lines");
        QTest::newRow("several MiB") << patterned(3 * 1024 * 1024 + 5) << 0 << false
                                     << QStringList{"📋 Part 1 ETag: \"etag-7\"", "✅ Single upload successful"};
        QTest::newRow("empty file") << QByteArray() << 0 << false
                                    << QStringList{"📋 Part 1 ETag: \"etag-7\"", "✅ Single upload successful"};
        QTest::newRow("refused") << twentyFiveBytes << 403 << false
                                 << QStringList{"⚠️ Upload attempt 1 failed for part 1: HTTP 403",
                                                "⚠️ Upload attempt 2 failed for part 1: HTTP 403",
                                                "⚠️ Upload attempt 3 failed for part 1: HTTP 403",
                                                "❌ Single upload failed: HTTP 403"};
        const QString shorter = "The file became shorter while it was being sent.";
        QTest::newRow("shrinking") << patterned(3 * 1024 * 1024) << 500 << true
                                   << QStringList{"⚠️ Upload attempt 1 failed for part 1: HTTP 500",
                                                  "⚠️ Upload attempt 2 failed for part 1: " + shorter,
                                                  "⚠️ Upload attempt 3 failed for part 1: " + shorter,
                                                  "❌ Single upload failed: " + shorter};
    }

    void singleUrl()
    {
        QFETCH(QByteArray, contents);
        QFETCH(int, refusal);
        QFETCH(bool, shrinks);
        QFETCH(QStringList, lines);
        const QString path = writeFile(*dir, "movie.mov", contents);
        answerPart = [&](qint64 partNumber) {
            return refusal ? answer(refusal) : ScriptedResponse::withETag(quotedETag(partNumber));
        };
        if (shrinks)
            connect(server, &TestHttpServer::requestReceived, server, [&] { QFile::resize(path, 1024 * 1024 + 100); });
        SleepRecorder sleeps;
        Diagnostics::Capture output;
        MessageLog messages;

        QCOMPARE(upload(path, 10, {{partUrl(7), 7}}, std::nullopt, messages, output), refusal == 0);

        QCOMPARE(output.lines(), lines);
        QVERIFY(requestsWithMethod("POST").isEmpty());
        if (refusal) {
            QVERIFY(messages.texts.isEmpty());
            QCOMPARE(sleeps.requested, (QList<qint64>{halfSecond, oneSecond}));
            QCOMPARE(server->requests().size(), shrinks ? 1 : 3);
            return;
        }
        QCOMPARE(messages.texts, QStringList{"Uploaded (100%)"});
        const RecordedRequest put = server->requests().value(0);
        QCOMPARE(partNumberOf(put), 7);
        QCOMPARE(put.header("Content-Type"), "application/octet-stream");
        QCOMPARE(put.header("Content-Length"), QByteArray::number(contents.size()));
        QVERIFY(put.body == contents);
    }

    // Sessions that could not store the file intact, and files that cannot be read, are refused
    // before anything is sent.
    void refusedBeforeSending_data()
    {
        QTest::addColumn<int>("fileSize");
        QTest::addColumn<qint64>("chunkSize");
        QTest::addColumn<int>("urlCount");
        QTest::addColumn<QString>("completion");
        QTest::addColumn<QString>("lastLine");
        QTest::newRow("file longer than the chunks")
                << 31 << qint64(10) << 3 << "valid"
                << "❌ The presigned chunks cannot hold the whole file: 3 chunks of 10 bytes for 31 bytes";
        QTest::newRow("no URL for a non-empty file")
                << 5 << qint64(10) << 0 << "valid"
                << "❌ The presigned chunks cannot hold the whole file: 0 chunks of 10 bytes for 5 bytes";
        QTest::newRow("zero chunk size") << 25 << qint64(0) << 3 << "valid" << "❌ Invalid chunk size: 0";
        QTest::newRow("negative chunk size") << 25 << qint64(-10) << 3 << "valid" << "❌ Invalid chunk size: -10";
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
        const QString path = fileSize < 0 ? dir->filePath("missing.mov") : writeFile(*dir, "movie.mov", patterned(fileSize));
        std::optional<QUrl> completionUrl;
        if (completion == "valid")
            completionUrl = completeUrl();
        else if (!completion.isEmpty())
            completionUrl = QUrl(completion);
        QList<qint64> ids;
        for (qint64 id = 1; id <= urlCount; ++id)
            ids.append(id);
        Diagnostics::Capture output;
        MessageLog messages;

        QCOMPARE(upload(path, chunkSize, chunkUrls(ids), completionUrl, messages, output), false);

        QCOMPARE(output.lines().last(), lastLine);
        QCOMPARE(server->connectionCount(), 0);
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
        const QString path = writeFile(*dir, "movie.mov", twentyFiveBytes);
        answerCompletion = [] { return ScriptedResponse::json(200, ServiceFixtures::workspaceJson()); };
        const QString service = QStringLiteral("http://service.test:%1/api").arg(server->port());
        Diagnostics::Capture output;
        MessageLog messages;

        const auto workspace = finishWithin(APIService(service).pullStartupInformation("key"));
        answerCompletion = [] { return answer(200); };
        const QList<PresignedChunkUrl> urls{{partUrl(1, "storage.test"), 1}, {partUrl(2, "storage.test"), 2}};
        const auto stored = upload(path, 20, urls, QUrl(QStringLiteral("http://storage.test:%1/bucket/movie.mov?uploadId=1")
                                                               .arg(server->port())),
                                   messages, output);

        QVERIFY(workspace && *workspace && workspace->value().workspace);
        QCOMPARE(stored, true);
        const QByteArray port = QByteArray::number(server->port());
        QCOMPARE(proxy.requestLines(),
                 (QList<QByteArray>{"GET http://service.test:" + port + "/api/upload-app/pull-startup-information HTTP/1.1",
                                    "PUT " + partUrl(1, "storage.test").toUtf8() + " HTTP/1.1",
                                    "PUT " + partUrl(2, "storage.test").toUtf8() + " HTTP/1.1",
                                    "POST http://storage.test:" + port + "/bucket/movie.mov?uploadId=1 HTTP/1.1"}));
        QCOMPARE(requestsWithMethod("PUT").value(1).body, "UVWXY");
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
                << true
                << QStringList{"❌ Error finalizing upload: QNetworkReply::NetworkError (code 5): Operation canceled"}
                << 3 << 1;
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

        const auto stored = upload(path, 10, chunkUrls({1, 2, 3}), completeUrl(), messages, output, &token);

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
