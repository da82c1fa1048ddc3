#include "AppcastFixtures.h"
#include "HttpClient.h"
#include "TestHttpServer.h"
#include "UpdaterManager.h"

#include <QDesktopServices>
#include <QSignalSpy>
#include <QTest>

using namespace std::chrono_literals;
using Outcome = UpdaterManager::Outcome;

Q_DECLARE_METATYPE(ScriptedResponse)

namespace {
ScriptedResponse singleRelease(const QByteArray &version)
{
    return ScriptedResponse::json(200, "<rss version=\"2.0\"><channel><item><enclosure url=\"https:"
                                       "//downloads.vellumcast.com/uploader.tar.gz\" version=\"" + version
                                           + "\"/></item></channel></rss>");
}
}

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
    std::unique_ptr<UpdaterManager> updater(const QString &currentVersion, std::chrono::milliseconds firstCheck = 24h,
                                            std::chrono::milliseconds interval = 24h)
    {
        return std::make_unique<UpdaterManager>(
            UpdaterManager::Settings{server->url("/appcast.xml"), currentVersion, firstCheck, interval});
    }

private Q_SLOTS:
    void init()
    {
        server = std::make_unique<TestHttpServer>();
        QVERIFY(server->listen());
        HttpClient::setTransferTimeout(60s);
    }

    void cleanup() { server.reset(); }

    void askedCheckReportsItsOutcome_data()
    {
        QTest::addColumn<ScriptedResponse>("answer");
        QTest::addColumn<QString>("current");
        QTest::addColumn<Outcome>("outcome");
        QTest::addColumn<QString>("report");
        QTest::addColumn<QString>("notes");
        QTest::addColumn<QList<QUrl>>("opened");
        const ScriptedResponse feed = ScriptedResponse::json(200, AppcastFixtures::releases());
        const QList<QUrl> none;
        // Notes arrive as HTML and are shown as text.
        QTest::newRow("newer release") << feed << "1.9.5" << Outcome::UpdateAvailable
                                       << "Version 1.10 (Autumn) is out; you have 1.9.5."
                                       << "What's new\n• Faster uploads\n• Fewer retries & clearer errors"
                                       << QList<QUrl>{QUrl("https://vellumcast.com/uploader/download")};
        QTest::newRow("same version") << feed << "1.10" << Outcome::UpToDate
                                      << "Vellumcast Uploader 1.10 is the newest version." << "" << none;
        QTest::newRow("newer than the feed") << feed << "2.0" << Outcome::UpToDate
                                             << "Vellumcast Uploader 2.0 is the newest version." << "" << none;
        QTest::newRow("not found") << ScriptedResponse::json(404, "<html>Not found</html>") << "1.0" << Outcome::Failed
                                   << "The update feed answered with HTTP 404." << "" << none;
        QTest::newRow("not a feed") << ScriptedResponse::json(200, "<html><body/></html>") << "1.0" << Outcome::Failed
                                    << "The update feed is not an RSS document." << "" << none;
        QTest::newRow("too large") << ScriptedResponse::json(200, QByteArray(UpdaterManager::maxFeedBytes + 1, ' '))
                                   << "1.0" << Outcome::Failed << "The update feed is too large." << "" << none;
        // The network layer words this one.
        QTest::newRow("connection dropped") << ScriptedResponse::closeWithoutResponse() << "1.0" << Outcome::Failed
                                            << QString() << "" << none;
    }

    void askedCheckReportsItsOutcome()
    {
        QFETCH(ScriptedResponse, answer);
        QFETCH(QString, current);
        QFETCH(Outcome, outcome);
        QFETCH(QString, report);
        QFETCH(QString, notes);
        QFETCH(QList<QUrl>, opened);
        server->setDefaultResponse(answer);
        auto manager = updater(current);
        manager->checkForUpdates();
        QVERIFY(manager->isChecking());
        QCOMPARE(manager->outcome(), Outcome::Checking);
        QVERIFY(manager->isReportVisible());
        QTRY_VERIFY(!manager->isChecking());
        QCOMPARE(manager->outcome(), outcome);
        QVERIFY(manager->isReportVisible());
        QVERIFY(!manager->reportText().isEmpty());
        if (!report.isEmpty())
            QCOMPARE(manager->reportText(), report);
        QCOMPARE(manager->releaseNotes(), notes);
        QCOMPARE(server->requests().value(0).method, "GET");
        QCOMPARE(server->requests().value(0).path(), "/appcast.xml");

        UrlCatcher browser;
        QDesktopServices::setUrlHandler("https", &browser, "open");
        manager->openDownloadPage();
        QDesktopServices::unsetUrlHandler("https");
        QCOMPARE(browser.opened, opened);
    }

    void scheduledChecksOnlySpeakUpForANewerRelease()
    {
        server->enqueue(ScriptedResponse::json(404, ""));
        server->enqueue(singleRelease("1.0"));
        server->setDefaultResponse(singleRelease("1.1"));
        auto manager = updater("1.0", 0ms, 20ms);
        QSignalSpy reports(manager.get(), &UpdaterManager::reportChanged);
        QTRY_VERIFY(!reports.isEmpty());
        QVERIFY(server->requests().size() >= 3);
        QCOMPARE(manager->outcome(), Outcome::UpdateAvailable);
        QCOMPARE(manager->reportText(), "Version 1.1 is out; you have 1.0.");
        // Only web pages open; this release names its download as the enclosure.
        QCOMPARE(manager->downloadPage(), QUrl("https://downloads.vellumcast.com/uploader.tar.gz"));
    }

    void askingDuringAScheduledCheckReportsThatCheck()
    {
        ScriptedResponse slow = singleRelease("1.0");
        slow.delay = 100ms;
        server->setDefaultResponse(slow);
        auto manager = updater("1.0", 0ms);
        QTRY_VERIFY(manager->isChecking());
        manager->checkForUpdates();
        QTRY_VERIFY(!manager->isChecking());
        QCOMPARE(server->requests().size(), 1);
        QCOMPARE(manager->outcome(), Outcome::UpToDate);
        QVERIFY(manager->isReportVisible());
    }

    void closingTheReportWhileCheckingSilencesAnUnremarkableOutcome()
    {
        ScriptedResponse slow = singleRelease("1.0");
        slow.delay = 100ms;
        server->enqueue(slow);
        auto manager = updater("1.0");
        manager->checkForUpdates();
        manager->dismissReport();
        QVERIFY(!manager->isReportVisible());
        QTRY_VERIFY(!manager->isChecking());
        QVERIFY(!manager->isReportVisible());
        QCOMPARE(manager->outcome(), Outcome::Checking);
    }
};

QTEST_MAIN(UpdaterManagerTest)
#include "tst_updatermanager.moc"
