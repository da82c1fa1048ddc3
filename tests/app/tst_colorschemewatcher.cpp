#include "ColorSchemeWatcher.h"
#include "FakeDesktopBus.h"

#include <QGuiApplication>
#include <QTest>

namespace {
bool appLooksDark()
{
    return QGuiApplication::palette().color(QPalette::Window).lightness() < 128;
}
}

// The offscreen platform's own palette is light, as on a desktop whose platform theme knows
// nothing of the user's preference.
class ColorSchemeWatcherTest : public QObject
{
    Q_OBJECT

    FakeDesktopBus bus;

private Q_SLOTS:
    void initTestCase()
    {
        const QString failure = bus.start();
        QVERIFY2(failure.isEmpty(), qPrintable(failure));
    }

    void cleanup() { QGuiApplication::setPalette(QPalette()); }

    void withoutAPortalNothingChanges()
    {
        ColorSchemeWatcher watcher(bus.connect());
        ColorSchemeWatcher detached(QDBusConnection(QStringLiteral("no such bus")));
        QTest::qWait(100);
        QCOMPARE(watcher.preference(), ColorSchemeWatcher::Preference::None);
        QVERIFY(!appLooksDark());
    }

    void followsThePreferenceAsItChanges()
    {
        bus.servePortal();
        bus.setColorScheme(1); // the portal's values: 0 no preference, 1 dark, 2 light
        auto watcher = std::make_unique<ColorSchemeWatcher>(bus.connect());
        QTRY_COMPARE(watcher->preference(), ColorSchemeWatcher::Preference::Dark);
        QVERIFY(appLooksDark());
        for (const uint scheme : {2u, 1u, 0u, 1u}) {
            bus.setColorScheme(scheme);
            QTRY_COMPARE(uint(watcher->preference()), scheme);
            QCOMPARE(appLooksDark(), scheme == 1);
        }
        // Gone, it leaves the platform's palette behind; a dark one of the platform's needs no help.
        watcher.reset();
        QVERIFY(!appLooksDark());
        QGuiApplication::setPalette(QPalette(Qt::black, QColor(0x10, 0x20, 0x30)));
        ColorSchemeWatcher onDarkPlatform(bus.connect());
        QTRY_COMPARE(onDarkPlatform.preference(), ColorSchemeWatcher::Preference::Dark);
        QCOMPARE(QGuiApplication::palette().color(QPalette::Window), QColor(0x10, 0x20, 0x30));
    }
};

QTEST_MAIN(ColorSchemeWatcherTest)
#include "tst_colorschemewatcher.moc"
