#include "ApiKeyPreference.h"
#include "AsyncSleep.h"
#include "Diagnostics.h"
#include "FakeDesktopBus.h"
#include "FileUploaderState.h"
#include "UploadBackend.h"

#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

// What a run asks of the desktop and shows beside its progress. The process's session and
// system buses are the test's private bus, set up before anything reaches for them.
class UploadDesktopIntegrationTest : public QObject
{
    Q_OBJECT

    FakeDesktopBus bus;
    QTemporaryDir folder;

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
        QFile video(folder.filePath(QStringLiteral("clip.mov")));
        QVERIFY(video.open(QIODevice::WriteOnly) && video.write(QByteArray(25, 'v')) == 25);
        // A stored key would be checked with the service, which cannot answer that.
        QFile::remove(ApiKeyPreference::filePath());
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
        TestHttpServer server;
        QVERIFY(server.listen());
        UploadBackend backend(server);
        backend.chunkCounts = {{0, 3}}; // a run of three parts
        const bool stopped = !ending.startsWith(u"Upload");
        if (ending.startsWith(u"Upload failed"))
            backend.overrides.insert(UploadBackend::partPath(0, 2), ScriptedResponse::json(403, ""));
        if (stopped)
            backend.overrides.insert(UploadBackend::partPath(0, 3), ScriptedResponse::stall());
        SessionManager session(APIService(server.url("/api").toString()));
        session.setApiKey(QStringLiteral("key"));
        auto state = std::make_unique<FileUploaderState>(APIService(server.url("/api").toString()));
        state->setSessionManager(&session);
        state->setSelectedFile(QUrl::fromLocalFile(folder.filePath(QStringLiteral("clip.mov"))));
        state->setVideoName(QStringLiteral("Dive"));
        const qsizetype earlier = bus.grantedRequests.size();
        Diagnostics::Capture output;

        state->startUpload();
        QCOMPARE(state->transferSpeedText(), QString());
        if (stopped) {
            QTRY_VERIFY_WITH_TIMEOUT(
                    !backend.requestsTo(UploadBackend::partPath(0, 3)).isEmpty() && bus.activeInhibitions() == 1, 10000);
            QVERIFY2(state->transferSpeedText().endsWith("/s"), qPrintable(state->transferSpeedText()));
            QVERIFY2(state->remainingTimeText().endsWith(" left"), qPrintable(state->remainingTimeText()));
            // The estimate writes nothing into the log.
            QCOMPARE(state->logs(), "🎬 Uploading clip.mov…\nUploaded (40%)\nUploaded (80%)\n");
            ending == u"cancel" ? state->cancelUpload() : state.reset();
        } else {
            QTRY_COMPARE_WITH_TIMEOUT(state->statusMessage(), ending, 10000);
        }
        QTRY_COMPARE(bus.activeInhibitions(), 0);
        QCOMPARE(bus.grantedRequests.mid(earlier), QStringList{"portal Inhibit('', 4, {reason: Uploading a video})"});
        QVERIFY(!state || (state->transferSpeedText().isEmpty() && state->remainingTimeText().isEmpty()));
    }
};

QTEST_GUILESS_MAIN(UploadDesktopIntegrationTest)
#include "tst_uploaddesktopintegration.moc"
