#include "ApiKeyPreference.h"
#include "AsyncSleep.h"
#include "Diagnostics.h"
#include "FakeDesktopBus.h"
#include "FileFormat.h"
#include "FileUploaderState.h"
#include "SessionManager.h"
#include "TestHttpServer.h"
#include "UploadBackend.h"

#include <QDBusConnectionInterface>
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
    FakePortal *portal = nullptr;
    TestHttpServer *server = nullptr;
    std::unique_ptr<UploadBackend> backend;
    std::unique_ptr<SessionManager> session;
    std::unique_ptr<QTemporaryDir> folder;

    QUrl writeFile(const QString &name, const QByteArray &bytes)
    {
        QFile file(folder->filePath(name));
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            qFatal("cannot write %s", qPrintable(file.fileName()));
        return QUrl::fromLocalFile(file.fileName());
    }

    std::unique_ptr<FileUploaderState> makeState(const QByteArray &video)
    {
        auto state = std::make_unique<FileUploaderState>(APIService(backend->apiBaseUrl()));
        state->setSessionManager(session.get());
        state->selectFileFormat(FileFormat::twoD);
        state->setSelectedFile(writeFile(QStringLiteral("clip.mov"), video));
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
        portal = &bus.servePortal();
        QVERIFY(QDBusConnection::sessionBus().interface()->isServiceRegistered(FakeDesktopBus::portalService));
    }

    void init()
    {
        QFile::remove(ApiKeyPreference::filePath());
        server = new TestHttpServer(this);
        QVERIFY(server->listen());
        backend = std::make_unique<UploadBackend>(*server);
        backend->chunkCounts = {{0, 3}};
        session = std::make_unique<SessionManager>(APIService(backend->apiBaseUrl()));
        session->setApiKey(QStringLiteral("key"));
        folder = std::make_unique<QTemporaryDir>();
        QVERIFY(folder->isValid());
    }

    void cleanup()
    {
        folder.reset();
        session.reset();
        backend.reset();
        delete server;
        server = nullptr;
        QTRY_COMPARE(portal->activeInhibitions(), 0);
    }

    void runsThatEndKeepTheMachineAwakeNoLonger_data()
    {
        QTest::addColumn<int>("failingPart");
        QTest::addColumn<QString>("status");
        QTest::newRow("completed") << 0 << "Upload completed!";
        QTest::newRow("failed") << 2 << "Upload failed: Failed to upload clip.mov";
    }

    void runsThatEndKeepTheMachineAwakeNoLonger()
    {
        QFETCH(int, failingPart);
        QFETCH(QString, status);
        if (failingPart)
            backend->overrides.insert(UploadBackend::partPath(0, failingPart), ScriptedResponse::json(403, ""));
        const qsizetype earlier = portal->inhibitions.size();
        auto state = makeState(QByteArray(25, 'v'));
        Diagnostics::Capture output;

        state->startUpload();
        QTRY_COMPARE_WITH_TIMEOUT(state->statusMessage(), status, 10000);
        QTRY_COMPARE(portal->activeInhibitions(), 0);
        QCOMPARE(portal->inhibitions.size(), earlier + 1);
        QCOMPARE(portal->inhibitions.constLast().flags, 4u);
    }

    void runsThatAreStoppedKeepTheMachineAwakeNoLonger_data()
    {
        QTest::addColumn<bool>("closeTheScreen");
        QTest::newRow("cancelled") << false;
        QTest::newRow("screen closed") << true;
    }

    void runsThatAreStoppedKeepTheMachineAwakeNoLonger()
    {
        QFETCH(bool, closeTheScreen);
        backend->overrides.insert(UploadBackend::partPath(0, 2), ScriptedResponse::stall());
        auto state = makeState(QByteArray(25, 'v'));
        Diagnostics::Capture output;

        state->startUpload();
        QTRY_VERIFY_WITH_TIMEOUT(!backend->requestsTo(UploadBackend::partPath(0, 2)).isEmpty(), 10000);
        QTRY_COMPARE(portal->activeInhibitions(), 1);
        if (closeTheScreen)
            state.reset();
        else
            state->cancelUpload();
        QTRY_COMPARE(portal->activeInhibitions(), 0);
    }

    void speedAndTimeLeftShowWhilePartsGoUp()
    {
        backend->overrides.insert(UploadBackend::partPath(0, 3), ScriptedResponse::stall());
        auto state = makeState(QByteArray(25, 'v'));
        Diagnostics::Capture output;

        state->startUpload();
        QCOMPARE(state->transferSpeedText(), QString());
        QTRY_VERIFY_WITH_TIMEOUT(!backend->requestsTo(UploadBackend::partPath(0, 3)).isEmpty(), 10000);
        QVERIFY2(state->transferSpeedText().endsWith("/s"), qPrintable(state->transferSpeedText()));
        QVERIFY2(state->remainingTimeText().endsWith(" left"), qPrintable(state->remainingTimeText()));
        // The estimate writes nothing into the log.
        QCOMPARE(state->logs(), "🎬 Uploading clip.mov…\nUploaded (40%)\nUploaded (80%)\n");

        state->cancelUpload();
        QCOMPARE(state->transferSpeedText(), QString());
        QCOMPARE(state->remainingTimeText(), QString());
        QTRY_COMPARE_WITH_TIMEOUT(state->statusMessage(), "Upload failed: Failed to upload clip.mov", 10000);
        QCOMPARE(state->transferSpeedText(), QString());
    }

    void finishedAndEmptyFilesShowNoEstimate_data()
    {
        QTest::addColumn<QByteArray>("video");
        QTest::newRow("three parts") << QByteArray(25, 'v');
        QTest::newRow("empty") << QByteArray();
    }

    void finishedAndEmptyFilesShowNoEstimate()
    {
        QFETCH(QByteArray, video);
        if (video.isEmpty())
            backend->chunkCounts.clear();
        auto state = makeState(video);
        QStringList speedsShown;
        connect(state.get(), &FileUploaderState::transferEstimateChanged, this, [&] {
            if (!state->transferSpeedText().isEmpty())
                speedsShown.append(state->transferSpeedText());
        });
        Diagnostics::Capture output;

        state->startUpload();
        QTRY_COMPARE_WITH_TIMEOUT(state->statusMessage(), "Upload completed!", 10000);
        QCOMPARE(state->transferSpeedText(), QString());
        QCOMPARE(state->remainingTimeText(), QString());
        QCOMPARE(speedsShown.isEmpty(), video.isEmpty());
    }
};

QTEST_GUILESS_MAIN(UploadDesktopIntegrationTest)
#include "tst_uploaddesktopintegration.moc"
