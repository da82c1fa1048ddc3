#include "ColorSchemeWatcher.h"
#include "FakeDesktopBus.h"

#include <QGuiApplication>
#include <QTest>

#include <memory>

namespace {
bool appLooksDark()
{
    return QGuiApplication::palette().color(QPalette::Window).lightness() < 128;
}

const uint noPreference = 0;
const uint prefersDark = 1;
const uint prefersLight = 2;
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
        ColorSchemeWatcher watcher(bus.connect(QStringLiteral("without-portal")));
        ColorSchemeWatcher detached(QDBusConnection(QStringLiteral("no such bus")));
        QTest::qWait(100);
        QCOMPARE(watcher.preference(), ColorSchemeWatcher::Preference::None);
        QVERIFY(!appLooksDark());
    }

    void followsThePreferenceAsItChanges()
    {
        bus.servePortal();
        bus.setColorScheme(prefersDark);
        auto watcher = std::make_unique<ColorSchemeWatcher>(bus.connect(QStringLiteral("follower")));
        QTRY_COMPARE(watcher->preference(), ColorSchemeWatcher::Preference::Dark);
        QVERIFY(appLooksDark());

        bus.setColorScheme(prefersLight);
        QTRY_COMPARE(watcher->preference(), ColorSchemeWatcher::Preference::Light);
        QVERIFY(!appLooksDark());
        bus.setColorScheme(prefersDark);
        QTRY_VERIFY(appLooksDark());
        bus.setColorScheme(noPreference);
        QTRY_COMPARE(watcher->preference(), ColorSchemeWatcher::Preference::None);
        QVERIFY(!appLooksDark());

        // Gone, it leaves the platform's palette behind.
        bus.setColorScheme(prefersDark);
        QTRY_VERIFY(appLooksDark());
        watcher.reset();
        QVERIFY(!appLooksDark());
    }

    // A palette the user chose stays: a dark one needs no help.
    void leavesADarkPlatformPaletteAlone()
    {
        QGuiApplication::setPalette(ColorSchemeWatcher::darkPalette());
        const QColor window = QGuiApplication::palette().color(QPalette::Window);
        bus.servePortal();
        bus.setColorScheme(prefersDark);
        ColorSchemeWatcher watcher(bus.connect(QStringLiteral("dark-platform")));
        QTRY_COMPARE(watcher.preference(), ColorSchemeWatcher::Preference::Dark);
        QCOMPARE(QGuiApplication::palette().color(QPalette::Window), window);
    }
};

QTEST_MAIN(ColorSchemeWatcherTest)
#include "tst_colorschemewatcher.moc"
