#include "QuickDriver.h"
#include "Workspace.h"

#include <QStandardPaths>
#include <QTest>
#include <QtQml/qqmlextensionplugin.h>

Q_IMPORT_QML_PLUGIN(VellumcastPlugin)

namespace {
// The middle of the screen, where its card or panels are, stands out from the background.
bool drawsSomething(QQuickWindow *window)
{
    const QImage image = window->grabWindow();
    return !image.isNull()
        && image.pixelColor(image.width() / 2, image.height() / 2) != image.pixelColor(5, image.height() - 5);
}
}

// Each screen of the window renders; the pictures themselves are scripts/screenshots' business.
class ScreensRenderTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void eachScreenDrawsSomething()
    {
        QuickDriver::AppHarness harness;
        QVERIFY(harness.start());
        harness.window()->resize(960, 680);
        QCOMPARE(harness.screen(), "loginView");
        QTRY_VERIFY(drawsSomething(harness.window()));

        Workspace workspace;
        workspace.workspaceName = QStringLiteral("Northwind Studio");
        harness.session().setApiKey(QStringLiteral("key"));
        harness.session().setWorkspaceData(workspace);
        QTRY_COMPARE(harness.screen(), "fileUploaderView");
        QTRY_VERIFY(drawsSomething(harness.window()));

        harness.app().appManager()->setEditingAPIKey(true);
        QTRY_COMPARE(harness.screen(), "changeKey");
        QTRY_VERIFY(drawsSomething(harness.window()));
    }
};

QTEST_MAIN(ScreensRenderTest)
#include "tst_screensrender.moc"
