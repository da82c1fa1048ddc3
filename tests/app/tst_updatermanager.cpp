#include "AppcastFixtures.h"
#include "HttpClient.h"
#include "TestHttpServer.h"
#include "UpdaterManager.h"

#include <QDesktopServices>
#include <QSignalSpy>
#include <QTest>

using namespace std::chrono_literals;

Q_DECLARE_METATYPE(ScriptedResponse)

// Stands in for the browser.
class UrlCatcher : public QObject
{
    Q_OBJECT
public:
    QList<QUrl> opened;
public Q_SLOTS:
    void open(const QUrl &url) { opened.append(url); }
};

class UpdaterManagerTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<TestHttpServer> server;

    // Checks only when asked, unless a schedule is given.
    std::unique_ptr<UpdaterManager> updater(const QString &currentVersion,
                                            std::chrono::milliseconds firstCheck = 24h,
                                            std::chrono::milliseconds interval = 24h)
    {
        return std::make_unique<UpdaterManager>(
            UpdaterManager::Settings{server->url("/appcast.xml"), currentVersion, firstCheck, interval});
    }

    static void waitForCheck(UpdaterManager &manager)
    {
        QTRY_VERIFY(!manager.isChecking());
    }

private Q_SLOTS:
    void init()
    {
        server = std::make_unique<TestHttpServer>();
        QVERIFY(server->listen());
        HttpClient::setTransferTimeout(60s);
    }

    void cleanup() { server.reset(); }

    void askedCheckReportsANewerRelease()
    {
        server->enqueue(ScriptedResponse::json(200, AppcastFixtures::releases()));
        auto manager = updater("1.9.5");
        manager->checkForUpdates();
        QVERIFY(manager->isChecking());
        QCOMPARE(manager->outcome(), UpdaterManager::Outcome::Checking);
        QVERIFY(manager->isReportVisible());
        waitForCheck(*manager);
        QCOMPARE(manager->outcome(), UpdaterManager::Outcome::UpdateAvailable);
        QCOMPARE(manager->reportText(), "Version 1.10 (Autumn) is out; you have 1.9.5.");
        // Notes arrive as HTML and are shown as text.
        QVERIFY(manager->releaseNotes().contains("• Faster uploads"));
        QVERIFY(manager->releaseNotes().contains("Fewer retries & clearer errors"));
        QVERIFY(!manager->releaseNotes().contains("<li>"));
        QVERIFY(manager->canOpenDownloadPage());
        QCOMPARE(server->requests().value(0).method, "GET");
        QCOMPARE(server->requests().value(0).path(), "/appcast.xml");

        UrlCatcher browser;
        QDesktopServices::setUrlHandler("https", &browser, "open");
        manager->openDownloadPage();
        QDesktopServices::unsetUrlHandler("https");
        QCOMPARE(browser.opened, QList<QUrl>({QUrl("https://vellumcast.com/uploader/download")}));
    }

    void askedCheckReportsUpToDate_data()
    {
        QTest::addColumn<QString>("current");
        QTest::newRow("same version") << "1.10";
        QTest::newRow("same, written longer") << "1.10.0";
        QTest::newRow("newer than the feed") << "2.0";
    }

    void askedCheckReportsUpToDate()
    {
        QFETCH(QString, current);
        server->enqueue(ScriptedResponse::json(200, AppcastFixtures::releases()));
        auto manager = updater(current);
        manager->checkForUpdates();
        waitForCheck(*manager);
        QCOMPARE(manager->outcome(), UpdaterManager::Outcome::UpToDate);
        QVERIFY(manager->reportText().contains(current));
        QVERIFY(!manager->canOpenDownloadPage());
        QVERIFY(manager->releaseNotes().isEmpty());
    }

    void askedCheckReportsFailures_data()
    {
        QTest::addColumn<ScriptedResponse>("answer");
        QTest::addColumn<QString>("says");
        QTest::newRow("not found") << ScriptedResponse::json(404, "<html>Not found</html>") << "HTTP 404";
        QTest::newRow("not a feed") << ScriptedResponse::json(200, "<html><body/></html>") << "not an RSS";
        QTest::newRow("connection dropped") << ScriptedResponse::closeWithoutResponse() << "";
        QTest::newRow("too large") << ScriptedResponse::json(200, QByteArray(UpdaterManager::maxFeedBytes + 1, ' ')) << "too large";
    }

    void askedCheckReportsFailures()
    {
        QFETCH(ScriptedResponse, answer);
        QFETCH(QString, says);
        server->setDefaultResponse(answer);
        auto manager = updater("1.0");
        manager->checkForUpdates();
        waitForCheck(*manager);
        QCOMPARE(manager->outcome(), UpdaterManager::Outcome::Failed);
        QVERIFY(manager->isReportVisible());
        QVERIFY(!manager->reportText().isEmpty());
        QVERIFY2(manager->reportText().contains(says), qPrintable(manager->reportText()));
    }

    void scheduledChecksOnlySpeakUpForANewerRelease()
    {
        server->enqueue(ScriptedResponse::json(404, ""));
        server->enqueue(ScriptedResponse::json(200, AppcastFixtures::singleRelease("1.0")));
        server->enqueue(ScriptedResponse::json(200, AppcastFixtures::singleRelease("1.1")));
        server->setDefaultResponse(ScriptedResponse::json(200, AppcastFixtures::singleRelease("1.1")));
        auto manager = updater("1.0", 0ms, 20ms);
        QSignalSpy reports(manager.get(), &UpdaterManager::reportChanged);
        QTRY_VERIFY(!reports.isEmpty());
        QVERIFY(server->requests().size() >= 3);
        QCOMPARE(manager->outcome(), UpdaterManager::Outcome::UpdateAvailable);
        QCOMPARE(manager->reportText(), "Version 1.1 is out; you have 1.0.");
        // Only web pages open; this release names its download as the enclosure.
        QCOMPARE(manager->downloadPage(), QUrl("https://downloads.vellumcast.com/uploader.tar.gz"));
    }

    void askingDuringAScheduledCheckReportsThatCheck()
    {
        ScriptedResponse slow = ScriptedResponse::json(200, AppcastFixtures::singleRelease("1.0"));
        slow.delay = 100ms;
        server->setDefaultResponse(slow);
        auto manager = updater("1.0", 0ms);
        QTRY_VERIFY(manager->isChecking());
        manager->checkForUpdates();
        waitForCheck(*manager);
        QCOMPARE(server->requests().size(), 1);
        QCOMPARE(manager->outcome(), UpdaterManager::Outcome::UpToDate);
        QVERIFY(manager->isReportVisible());
    }

    void closingTheReportWhileCheckingSilencesAnUnremarkableOutcome()
    {
        ScriptedResponse slow = ScriptedResponse::json(200, AppcastFixtures::singleRelease("1.0"));
        slow.delay = 100ms;
        server->enqueue(slow);
        auto manager = updater("1.0");
        manager->checkForUpdates();
        manager->dismissReport();
        QVERIFY(!manager->isReportVisible());
        waitForCheck(*manager);
        QVERIFY(!manager->isReportVisible());
        QCOMPARE(manager->outcome(), UpdaterManager::Outcome::Checking);
    }
};

QTEST_MAIN(UpdaterManagerTest)
#include "tst_updatermanager.moc"
