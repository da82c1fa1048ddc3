#include "AppcastFixtures.h"
#include "Appcast.h"

#include <QTest>

namespace {
int sign(std::weak_ordering order)
{
    return order < 0 ? -1 : order > 0 ? 1 : 0;
}
}

class AppcastTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void readsEveryVersionedRelease()
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
    }

    void newestIsChosenByVersionNotByPosition()
    {
        const auto newest = Appcast::newest(Appcast::parse(AppcastFixtures::releases()).value());
        QVERIFY(newest);
        QCOMPARE(newest->version, "1.10");
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
        QVERIFY(items);
        QCOMPARE(items.value().size(), 1);
        QVERIFY(items.value().at(0).downloadPage.isEmpty());
    }

    void rejectsWhatIsNotAnRssFeed_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("html page") << QByteArray("<html><body>Not found</body></html>");
        QTest::newRow("cut short") << AppcastFixtures::releases().left(400);
        QTest::newRow("json") << QByteArray("{\"version\":\"2.0\"}");
        QTest::newRow("unbalanced") << QByteArray("<rss><channel></rss>");
    }

    void rejectsWhatIsNotAnRssFeed()
    {
        QFETCH(QByteArray, text);
        const auto items = Appcast::parse(text);
        QVERIFY(!items);
        QVERIFY(!items.error().description().isEmpty());
    }

    void feedWithoutReleasesHasNoNewest()
    {
        const auto items = Appcast::parse("<rss version=\"2.0\"><channel><title>t</title></channel></rss>");
        QVERIFY(items);
        QVERIFY(items.value().isEmpty());
    }

    void comparesVersions_data()
    {
        QTest::addColumn<QString>("left");
        QTest::addColumn<QString>("right");
        QTest::addColumn<int>("order");
        const int less = -1;
        const int same = 0;
        QTest::newRow("numbers, not text") << "1.9" << "1.10" << less;
        QTest::newRow("major") << "2" << "10.0" << less;
        QTest::newRow("equal") << "1.2.3" << "1.2.3" << same;
        QTest::newRow("trailing zeros") << "1.0" << "1" << same;
        QTest::newRow("more parts") << "1.2" << "1.2.1" << less;
        QTest::newRow("leading zeros") << "1.02" << "1.2" << same;
        QTest::newRow("pre-release before release") << "1.2b3" << "1.2" << less;
        QTest::newRow("pre-release after previous") << "1.1" << "1.2b3" << less;
        QTest::newRow("pre-release before patch") << "1.2b3" << "1.2.1" << less;
        QTest::newRow("pre-release numbers") << "1.2b9" << "1.2b10" << less;
        QTest::newRow("pre-release words") << "2.0-alpha" << "2.0-beta" << less;
        QTest::newRow("longer than 64 bits") << "1.18446744073709551616" << "1.18446744073709551617" << less;
        QTest::newRow("empty") << "" << "0.1" << less;
    }

    void comparesVersions()
    {
        QFETCH(QString, left);
        QFETCH(QString, right);
        QFETCH(int, order);
        QCOMPARE(sign(Appcast::compareVersions(left, right)), order);
        QCOMPARE(sign(Appcast::compareVersions(right, left)), -order);
    }
};

QTEST_APPLESS_MAIN(AppcastTest)
#include "tst_appcast.moc"
