#include "APIService.h"
#include "Diagnostics.h"
#include "ServiceFixtures.h"
#include "StorageClient.h"
#include "StorageScene.h"
#include "TestProxy.h"
#include "UploadDriver.h"

#include <QFile>
#include <QTest>

using namespace TransferTest;

class UploadDriverTest : public QObject, StorageScene
{
    Q_OBJECT

    std::optional<bool> upload(const QString &path, qint64 chunkSize, const QList<PresignedChunkUrl> &urls,
                               std::optional<QUrl> completion, MessageLog &messages)
    {
        return finishWithin(uploadFileSequentially(QUrl::fromLocalFile(path), chunkSize, urls, std::move(completion),
                                                   messages.callback()));
    }

private Q_SLOTS:
    void init() { QVERIFY(start()); }
    void cleanup() { stop(); }

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
                << 25 << qint64(10) << 3 << "file:///tmp/complete?uploadId=7&X-Amz-Signature=9f3e"
                << "❌ Invalid completion URL: file:///tmp/complete?uploadId=7&X-Amz-Signature=…";
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

    void printedUrlsHideTheirSignatures_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("printed");
        QTest::newRow("presigned part")
                << "https://s.test/b/o?partNumber=2&X-Amz-Credential=AK%2F1&X-Amz-Signature=9f3e&uploadId=u"
                << "https://s.test/b/o?partNumber=2&X-Amz-Credential=AK%2F1&X-Amz-Signature=…&uploadId=u";
        QTest::newRow("other schemes, any case, encoded names, fragment")
                << "https://s.test/o?Signature=a%2Bb&SIG=c&X%2DAmz%2DSignature=d&signal=e&sig#sig=f"
                << "https://s.test/o?Signature=…&SIG=…&X%2DAmz%2DSignature=…&signal=e&sig#sig=f";
        QTest::newRow("no query") << "https://s.test/o/X-Amz-Signature=1" << "https://s.test/o/X-Amz-Signature=1";
    }

    void printedUrlsHideTheirSignatures()
    {
        QFETCH(QString, url);
        QFETCH(QString, printed);
        QCOMPARE(Diagnostics::redactedUrl(url), printed);
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

    // The settings name another proxy, and the first one has stopped, while the upload goes on:
    // a client follows the change after at most one failed request.
    void storageFollowsAChangeOfProxy()
    {
        auto first = std::make_unique<TestProxy>();
        TestProxy second;
        for (TestProxy *proxy : {first.get(), &second}) {
            QVERIFY(proxy->listen());
            proxy->addHost("storage.test", server->port());
        }
        qputenv("http_proxy", first->url().toEncoded());
        qunsetenv("no_proxy");
        const auto restore = qScopeGuard([] { qunsetenv("http_proxy"); });
        const auto put = [this](qint64 part) {
            return StorageRequest{"PUT", QUrl(partUrl(part, "storage.test")), {}, RequestBody::fromBytes("ABC"), 1024};
        };
        StorageClient storage;

        const auto throughFirst = finishWithin(storage.send(put(1), nullptr));
        qputenv("http_proxy", second.url().toEncoded());
        first.reset();
        const auto afterTheChange = finishWithin(storage.send(put(2), nullptr));
        const auto next = afterTheChange && *afterTheChange ? afterTheChange : finishWithin(storage.send(put(3), nullptr));

        QVERIFY(throughFirst && *throughFirst);
        QCOMPARE(throughFirst->value().statusCode, 200);
        QVERIFY(next && *next);
        QCOMPARE(next->value().statusCode, 200);
        QCOMPARE(second.requestLines().size(), 1);
        QCOMPARE(requestsWithMethod("PUT").size(), 2);
    }
};

QTEST_GUILESS_MAIN(UploadDriverTest)
#include "tst_uploaddriver.moc"
