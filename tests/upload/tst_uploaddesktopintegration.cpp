#include "ApiKeyPreference.h"
#include "AsyncSleep.h"
#include "Diagnostics.h"
#include "FakeDesktopBus.h"
#include "FileFormat.h"
#include "FileUploaderState.h"
#include "SessionManager.h"
#include "TestHttpServer.h"
#include "UploadBackend.h"

#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

// What a run asks of the desktop and shows beside its progress. The process's session and
// system buses are the test's private bus, set up before anything reaches for them.
class UploadDesktopIntegrationTest : public QObject
{
    Q_OBJECT

    FakeDesktopBus bus;
    std::unique_ptr<TestHttpServer> server;
    std::unique_ptr<UploadBackend> backend;
    std::unique_ptr<SessionManager> session;
    QTemporaryDir folder;

    // A run of three parts.
    std::unique_ptr<FileUploaderState> makeState()
    {
        const QByteArray video(25, 'v');
        QFile file(folder.filePath(QStringLiteral("clip.mov")));
        if (!file.open(QIODevice::WriteOnly) || file.write(video) != video.size())
            qFatal("cannot write %s", qPrintable(file.fileName()));
        auto state = std::make_unique<FileUploaderState>(APIService(server->url("/api").toString()));
        state->setSessionManager(session.get());
        state->selectFileFormat(FileFormat::twoD);
        state->setSelectedFile(QUrl::fromLocalFile(file.fileName()));
        state->setVideoName(QStringLiteral("Dive"));
        return state;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        AsyncSleep::setTimeScale(0.001);
        const QString failure = bus.start();
        QVERIFY2(failure.isEmpty(), qPrintable(failure));
        qputenv("DBUS_SESSION_BUS_ADDRESS", bus.address().toUtf8());
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", bus.address().toUtf8());
        bus.servePortal();
    }

    void init()
    {
        QFile::remove(ApiKeyPreference::filePath());
        server = std::make_unique<TestHttpServer>();
        QVERIFY(server->listen());
        backend = std::make_unique<UploadBackend>(*server);
        backend->chunkCounts = {{0, 3}};
        session = std::make_unique<SessionManager>(APIService(server->url("/api").toString()));
        session->setApiKey(QStringLiteral("key"));
    }

    void cleanup()
    {
        session.reset();
        backend.reset();
        server.reset();
        QTRY_COMPARE(bus.activeInhibitions(), 0);
    }

    void aRunKeepsTheMachineAwakeAndShowsItsSpeedUntilItEnds_data()
    {
        QTest::addColumn<QString>("ending");
        QTest::newRow("completed") << "Upload completed!";
        QTest::newRow("failed") << "Upload failed: Failed to upload clip.mov";
        QTest::newRow("cancelled") << "cancel";
        QTest::newRow("screen closed") << "close";
    }

    void aRunKeepsTheMachineAwakeAndShowsItsSpeedUntilItEnds()
    {
        QFETCH(QString, ending);
        const bool stopped = !ending.startsWith(u"Upload");
        if (ending.startsWith(u"Upload failed"))
            backend->overrides.insert(UploadBackend::partPath(0, 2), ScriptedResponse::json(403, ""));
        if (stopped)
            backend->overrides.insert(UploadBackend::partPath(0, 3), ScriptedResponse::stall());
        const qsizetype earlier = bus.grantedRequests.size();
        auto state = makeState();
        Diagnostics::Capture output;

        state->startUpload();
        QCOMPARE(state->transferSpeedText(), QString());
        if (stopped) {
            QTRY_VERIFY_WITH_TIMEOUT(!backend->requestsTo(UploadBackend::partPath(0, 3)).isEmpty(), 10000);
            QTRY_COMPARE(bus.activeInhibitions(), 1);
            QVERIFY2(state->transferSpeedText().endsWith("/s"), qPrintable(state->transferSpeedText()));
            QVERIFY2(state->remainingTimeText().endsWith(" left"), qPrintable(state->remainingTimeText()));
            // The estimate writes nothing into the log.
            QCOMPARE(state->logs(), "🎬 Uploading clip.mov…\nUploaded (40%)\nUploaded (80%)\n");
            ending == u"cancel" ? state->cancelUpload() : state.reset();
        } else {
            QTRY_COMPARE_WITH_TIMEOUT(state->statusMessage(), ending, 10000);
        }
        QTRY_COMPARE(bus.activeInhibitions(), 0);
        QCOMPARE(bus.grantedRequests.mid(earlier),
                 QStringList{"portal Inhibit('', 4, {reason: Uploading a video})"});
        if (state) {
            QCOMPARE(state->transferSpeedText(), QString());
            QCOMPARE(state->remainingTimeText(), QString());
        }
    }
};

QTEST_GUILESS_MAIN(UploadDesktopIntegrationTest)
#include "tst_uploaddesktopintegration.moc"
