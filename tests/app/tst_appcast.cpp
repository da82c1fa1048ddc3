#include "AppcastFixtures.h"
#include "Appcast.h"

#include <QTest>

class AppcastTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void readsEveryVersionedReleaseAndPicksTheNewestByVersion()
    {
        const auto items = Appcast::parse(AppcastFixtures::releases());
        QVERIFY(items);
        QCOMPARE(items.value().size(), 3);
        const Appcast::Item &autumn = items.value().at(1);
        QCOMPARE(autumn.version, "1.10");
        QCOMPARE(autumn.displayVersion, "1.10 (Autumn)");
        QCOMPARE(autumn.title, "Version 1.10");
        QVERIFY(autumn.releaseNotes.contains("<li>Faster uploads</li>"));
        QCOMPARE(autumn.downloadPage, QUrl("https://vellumcast.com/uploader/download"));
        // Without a link, the enclosure is where the release is.
        QCOMPARE(items.value().at(0).downloadPage, QUrl("https://downloads.vellumcast.com/uploader-1.9.tar.gz"));
        QCOMPARE(items.value().at(0).displayVersion, "1.9");
        QCOMPARE(Appcast::newest(items.value())->version, "1.10");

        const auto none = Appcast::parse("<rss version=\"2.0\"><channel><title>t</title></channel></rss>");
        QVERIFY(none && none.value().isEmpty());
        QVERIFY(!Appcast::newest({}));
    }

    void linksOtherThanWebPagesAreDropped_data()
    {
        QTest::addColumn<QByteArray>("link");
        QTest::newRow("file") << QByteArray("file:///etc/passwd");
        QTest::newRow("custom scheme") << QByteArray("vellumcast-helper://run");
        QTest::newRow("javascript") << QByteArray("javascript:alert(1)");
        QTest::newRow("no host") << QByteArray("https:///path");
    }

    void linksOtherThanWebPagesAreDropped()
    {
        QFETCH(QByteArray, link);
        const QByteArray feed = "<rss version=\"2.0\"><channel><item><link>" + link
            + "</link><enclosure url=\"" + link + "\" version=\"2.0\"/></item></channel></rss>";
        const auto items = Appcast::parse(feed);
        QVERIFY(items && items.value().size() == 1);
        QVERIFY(items.value().at(0).downloadPage.isEmpty());
    }

    void rejectsWhatIsNotAnRssFeed_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("description");
        QTest::newRow("empty") << QByteArray()
                               << "The update feed is not well-formed XML (line 1: Premature end of document.).";
        QTest::newRow("html page") << QByteArray("<html><body>Not found</body></html>")
                                   << "The update feed is not an RSS document.";
        QTest::newRow("cut short") << AppcastFixtures::releases().left(400)
                                   << "The update feed is not well-formed XML (line 10: Premature end of document.).";
        QTest::newRow("unbalanced") << QByteArray("<rss><channel></rss>")
                                    << "The update feed is not well-formed XML (line 1: Opening and ending tag mismatch.).";
    }

    void rejectsWhatIsNotAnRssFeed()
    {
        QFETCH(QByteArray, text);
        QFETCH(QString, description);
        const auto items = Appcast::parse(text);
        QVERIFY(!items);
        QCOMPARE(items.error().description(), description);
    }

    void comparesVersions_data()
    {
        QTest::addColumn<QString>("left");
        QTest::addColumn<QString>("right");
        QTest::addColumn<int>("order");
        QTest::newRow("numbers, not text") << "1.9" << "1.10" << -1;
        QTest::newRow("more parts") << "1.2" << "1.2.1" << -1;
        QTest::newRow("trailing zeros") << "1.0" << "1" << 0;
        QTest::newRow("leading zeros") << "1.02" << "1.2" << 0;
        QTest::newRow("pre-release before release") << "1.2b3" << "1.2" << -1;
        QTest::newRow("pre-release after previous") << "1.1" << "1.2b3" << -1;
        QTest::newRow("pre-release before patch") << "1.2b3" << "1.2.1" << -1;
        QTest::newRow("pre-release numbers") << "1.2b9" << "1.2b10" << -1;
        QTest::newRow("pre-release words") << "2.0-alpha" << "2.0-beta" << -1;
        QTest::newRow("longer than 64 bits") << "1.18446744073709551616" << "1.18446744073709551617" << -1;
        QTest::newRow("empty") << "" << "0.1" << -1;
    }

    void comparesVersions()
    {
        QFETCH(QString, left);
        QFETCH(QString, right);
        QFETCH(int, order);
        const auto sign = [](std::weak_ordering ordering) { return ordering < 0 ? -1 : ordering > 0 ? 1 : 0; };
        QCOMPARE(sign(Appcast::compareVersions(left, right)), order);
        QCOMPARE(sign(Appcast::compareVersions(right, left)), -order);
    }
};

QTEST_APPLESS_MAIN(AppcastTest)
#include "tst_appcast.moc"
