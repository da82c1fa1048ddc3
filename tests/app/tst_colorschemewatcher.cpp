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

    std::unique_ptr<FakeDesktopBus> bus;
    int clientCount = 0;

    std::unique_ptr<ColorSchemeWatcher> makeWatcher()
    {
        return std::make_unique<ColorSchemeWatcher>(bus->connect(QStringLiteral("client-%1").arg(++clientCount)));
    }

private Q_SLOTS:
    void init()
    {
        QVERIFY(!appLooksDark());
        bus = std::make_unique<FakeDesktopBus>();
        const QString failure = bus->start();
        QVERIFY2(failure.isEmpty(), qPrintable(failure));
    }

    void cleanup()
    {
        bus.reset();
        QGuiApplication::setPalette(QPalette());
    }

    void followsThePreferenceAsItChanges()
    {
        bus->servePortal();
        bus->portalSettings().setColorScheme(prefersDark);
        auto watcher = makeWatcher();
        QTRY_COMPARE(watcher->preference(), ColorSchemeWatcher::Preference::Dark);
        QVERIFY(appLooksDark());

        bus->portalSettings().setColorScheme(prefersLight);
        QTRY_COMPARE(watcher->preference(), ColorSchemeWatcher::Preference::Light);
        QVERIFY(!appLooksDark());

        bus->portalSettings().setColorScheme(prefersDark);
        QTRY_VERIFY(appLooksDark());
        bus->portalSettings().setColorScheme(noPreference);
        QTRY_COMPARE(watcher->preference(), ColorSchemeWatcher::Preference::None);
        QVERIFY(!appLooksDark());

        // Gone, it leaves the platform's palette behind.
        bus->portalSettings().setColorScheme(prefersDark);
        QTRY_VERIFY(appLooksDark());
        watcher.reset();
        QVERIFY(!appLooksDark());
    }

    // A palette the user chose stays: a dark one needs no help, and a light preference does not
    // override it.
    void leavesADarkPlatformPaletteAlone()
    {
        QGuiApplication::setPalette(ColorSchemeWatcher::darkPalette());
        const QColor window = QGuiApplication::palette().color(QPalette::Window);
        bus->servePortal();
        bus->portalSettings().setColorScheme(prefersDark);
        auto watcher = makeWatcher();
        QTRY_COMPARE(watcher->preference(), ColorSchemeWatcher::Preference::Dark);
        QCOMPARE(QGuiApplication::palette().color(QPalette::Window), window);
    }

    void withoutAPortalNothingChanges()
    {
        auto watcher = makeWatcher();
        auto detached = std::make_unique<ColorSchemeWatcher>(QDBusConnection(QStringLiteral("no such bus")));
        QTest::qWait(100);
        QCOMPARE(watcher->preference(), ColorSchemeWatcher::Preference::None);
        QVERIFY(!appLooksDark());
    }
};

QTEST_MAIN(ColorSchemeWatcherTest)
#include "tst_colorschemewatcher.moc"
