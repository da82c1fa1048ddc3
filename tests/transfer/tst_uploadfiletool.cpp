#include "TransferTestSupport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>

using namespace TransferTest;

namespace {
struct ToolRun
{
    int exitCode = -1;
    QByteArray standardOutput;
    QByteArray standardError;
};
}

class UploadFileToolTest : public QObject
{
    Q_OBJECT

    TestHttpServer *server = nullptr;
    std::unique_ptr<QTemporaryDir> dir;

    // Keeps the event loop turning while the tool runs, so the test server can answer it.
    std::optional<ToolRun> runTool(const QStringList &arguments)
    {
        QProcess tool;
        QSignalSpy finished(&tool, &QProcess::finished);
        tool.start(QStringLiteral(UPLOAD_FILE_TOOL), arguments);
        if (!finished.wait(int(std::chrono::milliseconds(fallbackTimeout).count()))) {
            tool.kill();
            tool.waitForFinished();
            return std::nullopt;
        }
        return ToolRun{tool.exitStatus() == QProcess::NormalExit ? tool.exitCode() : -1,
                       tool.readAllStandardOutput(), tool.readAllStandardError()};
    }

    QString sessionFile(qint64 chunkSize, int chunks)
    {
        QJsonArray urls;
        for (int chunkId = 1; chunkId <= chunks; ++chunkId) {
            urls.append(QJsonObject{{"url", server->url(QStringLiteral("/movie.mov?partNumber=%1").arg(chunkId)).toString()},
                                    {"chunkId", chunkId}});
        }
        const QJsonObject session{{"uploadId", "u1"},
                                  {"key", "movie.mov"},
                                  {"chunkSize", chunkSize},
                                  {"bbUrl", "https://store.test/movie.mov"},
                                  {"completeUploadUrl", server->url("/movie.mov?uploadId=u1").toString()},
                                  {"presignedChunkUrls", urls}};
        return writeFile(*dir, "session.json", QJsonDocument(session).toJson());
    }

private Q_SLOTS:
    void init()
    {
        server = new TestHttpServer(this);
        QVERIFY(server->listen());
        server->setHandler([](const RecordedRequest &head) {
            return head.method == "PUT" ? ScriptedResponse::withETag("\"p" + head.query().queryItemValue("partNumber").toUtf8() + '"')
                                        : answer(200);
        });
        dir = std::make_unique<QTemporaryDir>();
    }

    void cleanup()
    {
        delete server;
        server = nullptr;
        dir.reset();
    }

    // Standard output carries the driver's lines alone, standard error the progress texts.
    void exitStatusAndStreams()
    {
        const QString file = writeFile(*dir, "movie.mov", "ABCDEFGHIJKLMNOPQRSTUVWXY");

        const auto stored = runTool({sessionFile(10, 3), file});
        const auto unstored = runTool({sessionFile(10, 2), file});

        QVERIFY(stored && unstored);
        QCOMPARE(stored->exitCode, 0);
        QVERIFY(stored->standardOutput.startsWith("Starting sequential upload with complete url: "));
        QVERIFY(stored->standardOutput.endsWith("</CompleteMultipartUpload>\n✅ Finalization successful!\n"));
        QCOMPARE(stored->standardOutput.count('\n'), 22);
        QCOMPARE(stored->standardError, "Uploaded (40%)\nUploaded (80%)\nUploaded (100%)\n");
        QCOMPARE(unstored->exitCode, 1);
        QVERIFY(unstored->standardOutput.endsWith(
                "❌ The presigned chunks cannot hold the whole file: 2 chunks of 10 bytes for 25 bytes\n"));
        QVERIFY(unstored->standardError.isEmpty());
        QCOMPARE(server->requests().size(), 4);
    }

    void unusableInvocationExitsTwo_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QByteArray>("session");
        QTest::newRow("no arguments") << QStringList{} << QByteArray();
        QTest::newRow("too many") << QStringList{"SESSION", "FILE", "extra"} << QByteArray("{}");
        QTest::newRow("session missing") << QStringList{"missing.json", "FILE"} << QByteArray();
        QTest::newRow("session not JSON") << QStringList{"SESSION", "FILE"} << QByteArray("{\"uploadId\":");
    }

    void unusableInvocationExitsTwo()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QByteArray, session);
        const QString sessionPath = writeFile(*dir, "session.json", session);
        const QString filePath = writeFile(*dir, "movie.mov", "data");
        arguments.replaceInStrings("SESSION", sessionPath);
        arguments.replaceInStrings("FILE", filePath);
        arguments.replaceInStrings("missing.json", dir->filePath("missing.json"));

        const auto run = runTool(arguments);

        QVERIFY(run);
        QCOMPARE(run->exitCode, 2);
        QVERIFY(run->standardOutput.isEmpty());
        QVERIFY(!run->standardError.isEmpty());
        QCOMPARE(server->connectionCount(), 0);
    }
};

QTEST_GUILESS_MAIN(UploadFileToolTest)
#include "tst_uploadfiletool.moc"
