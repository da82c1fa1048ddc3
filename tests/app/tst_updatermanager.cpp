#include "Appcast.h"
#include "TestHttpServer.h"
#include "UpdaterManager.h"

#include <QDesktopServices>
#include <QSignalSpy>
#include <QTest>

using namespace std::chrono_literals;
using Outcome = UpdaterManager::Outcome;

Q_DECLARE_METATYPE(ScriptedResponse)

namespace {
// Releases out of order, the newest with HTML notes and a page of its own.
const QByteArray releases =
    "<rss version=\"2.0\" xmlns:sparkle=\"http://www.andymatuschak.org/xml-namespaces/sparkle\"><channel>"
    "<item><enclosure url=\"https://vellumcast.com/1.9.tar.gz\" sparkle:version=\"1.9\"/></item>"
    "<item><link>https://vellumcast.com/uploader/download</link><description><![CDATA[<h2>What's new</h2><ul><li>"
    "Faster uploads</li><li>Fewer retries &amp; clearer errors</li></ul>]]></description><enclosure url=\"https://"
    "vellumcast.com/1.10.tar.gz\" sparkle:version=\"1.10\" sparkle:shortVersionString=\"1.10 (Autumn)\"/></item>"
    "<item><enclosure url=\"https://vellumcast.com/1.2.3.tar.gz\" sparkle:version=\"1.2.3\"/></item></channel></rss>";

ScriptedResponse singleRelease(const QByteArray &version, const QByteArray &url = "https://vellumcast.com/u.tar.gz")
{
    return ScriptedResponse::json(200, "<rss version=\"2.0\"><channel><item><enclosure url=\"" + url + "\" version=\""
                                           + version + "\"/></item></channel></rss>");
}
}

// The update checks and the order of versions they go by.
class UpdaterManagerTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<TestHttpServer> server;
    QList<QUrl> opened; // by the browser the test stands in for

    // Checks only when asked, unless a schedule is given.
    std::unique_ptr<UpdaterManager> updater(const QString &currentVersion, std::chrono::milliseconds firstCheck = 24h,
                                            std::chrono::milliseconds interval = 24h)
    {
        return std::make_unique<UpdaterManager>(
            UpdaterManager::Settings{server->url("/appcast.xml"), currentVersion, firstCheck, interval});
    }

public Q_SLOTS:
    void openInBrowser(const QUrl &url) { opened.append(url); }

private Q_SLOTS:
    void init()
    {
        server = std::make_unique<TestHttpServer>();
        QVERIFY(server->listen());
        opened.clear();
    }

    void askedCheckReportsItsOutcome_data()
    {
        QTest::addColumn<ScriptedResponse>("answer");
        QTest::addColumn<QString>("current");
        QTest::addColumn<Outcome>("outcome");
        QTest::addColumn<QString>("report");
        QTest::addColumn<QString>("notes");
        QTest::addColumn<QString>("page");
        const auto row = [](const char *name, const ScriptedResponse &answer, Outcome outcome, const QString &report,
                            const char *current = "1.0", const QString &notes = {}, const QString &page = {}) {
            QTest::newRow(name) << answer << QString(current) << outcome << report << notes << page;
        };
        const auto answer = &ScriptedResponse::json;
        const ScriptedResponse feed = answer(200, releases);
        const QString upToDate = QStringLiteral("Vellumcast Uploader %1 is the newest version.");
        const QString newer = QStringLiteral("Version 1.1 is out; you have 1.0.");
        // Notes arrive as HTML and are shown as text.
        row("newer release", feed, Outcome::UpdateAvailable, "Version 1.10 (Autumn) is out; you have 1.9.5.", "1.9.5",
            "What's new\n• Faster uploads\n• Fewer retries & clearer errors",
            "https://vellumcast.com/uploader/download");
        // Without a link of its own, the release is where its enclosure is, if that is a web page.
        row("enclosure only", singleRelease("1.1"), Outcome::UpdateAvailable, newer, "1.0", "",
            "https://vellumcast.com/u.tar.gz");
        row("file to open", singleRelease("1.1", "file://localhost/etc/passwd"), Outcome::UpdateAvailable, newer);
        row("no host", singleRelease("1.1", "https:///u.tar.gz"), Outcome::UpdateAvailable, newer);
        row("same version", feed, Outcome::UpToDate, upToDate.arg("1.10"), "1.10");
        row("newer than the feed", feed, Outcome::UpToDate, upToDate.arg("2.0"), "2.0");
        row("no releases", answer(200, "<rss><channel/></rss>"), Outcome::UpToDate, upToDate.arg("1.0"));
        row("not found", answer(404, "Not found"), Outcome::Failed, "The update feed answered with HTTP 404.");
        row("not a feed", answer(200, "<html/>"), Outcome::Failed, "The update feed is not an RSS document.");
        row("cut short", answer(200, releases.left(400)), Outcome::Failed,
            "The update feed is not well-formed XML (line 1: Premature end of document.).");
        row("too large", answer(200, QByteArray(UpdaterManager::maxFeedBytes + 1, ' ')), Outcome::Failed,
            "The update feed is too large.");
        row("dropped", ScriptedResponse::closeWithoutResponse(), Outcome::Failed, "Connection closed");
    }

    void askedCheckReportsItsOutcome()
    {
        QFETCH(ScriptedResponse, answer);
        QFETCH(QString, current);
        QFETCH(Outcome, outcome);
        QFETCH(QString, report);
        QFETCH(QString, notes);
        QFETCH(QString, page);
        server->setDefaultResponse(answer);
        auto manager = updater(current);
        manager->checkForUpdates();
        QVERIFY(manager->isChecking() && manager->isReportVisible() && manager->outcome() == Outcome::Checking);
        QTRY_VERIFY(!manager->isChecking());
        QCOMPARE(manager->outcome(), outcome);
        QVERIFY(manager->isReportVisible());
        QCOMPARE(manager->reportText(), report);
        QCOMPARE(manager->releaseNotes(), notes);
        // Before anything is opened: a page the browser must not get fails here.
        QCOMPARE(manager->downloadPage(), QUrl(page));
        QDesktopServices::setUrlHandler("https", this, "openInBrowser");
        manager->openDownloadPage();
        QDesktopServices::unsetUrlHandler("https");
        QCOMPARE(opened, page.isEmpty() ? QList<QUrl>() : QList<QUrl>{QUrl(page)});
    }

    void scheduledChecksOnlySpeakUpForANewerRelease()
    {
        server->enqueue(ScriptedResponse::json(404, ""));
        server->enqueue(singleRelease("1.0"));
        server->setDefaultResponse(singleRelease("1.1"));
        auto manager = updater("1.0", 0ms, 20ms);
        QSignalSpy reports(manager.get(), &UpdaterManager::reportChanged);
        QTRY_VERIFY(!reports.isEmpty());
        QCOMPARE(manager->reportText(), "Version 1.1 is out; you have 1.0.");
    }

    void askingDuringAScheduledCheckReportsItUnlessTheReportIsClosed()
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

        // Closed while checking, an unremarkable outcome stays silent.
        manager->checkForUpdates();
        manager->dismissReport();
        QTRY_VERIFY(!manager->isChecking());
        QCOMPARE(server->requests().size(), 2);
        QVERIFY(!manager->isReportVisible());
        QCOMPARE(manager->outcome(), Outcome::Checking);
    }

    // Each group is earlier than every group after it, and its versions are equal.
    void ordersVersions()
    {
        const QList<QStringList> ascending = {
            {"1", "1.0", "1.00.0"}, {"1.1"}, {"1.2-alpha"}, {"1.2b3"}, {"1.2b10"}, {"1.2-beta", "1.2-BETA"},
            {"1.2", "1.02"}, {"1.2.1"}, {"1.9"}, {"1.10"}, {"1.18446744073709551616"}, {"1.18446744073709551617"}};
        const auto sign = [](std::weak_ordering order) { return order < 0 ? -1 : order > 0 ? 1 : 0; };
        for (qsizetype i = 0; i < ascending.size(); ++i)
            for (qsizetype j = 0; j < ascending.size(); ++j)
                for (const QString &left : ascending[i])
                    for (const QString &right : ascending[j])
                        QVERIFY2(sign(Appcast::compareVersions(left, right)) == (i > j) - (i < j),
                                 qPrintable(QStringLiteral("%1 vs %2").arg(left, right)));
    }
};

QTEST_MAIN(UpdaterManagerTest)
#include "tst_updatermanager.moc"
