#include "ApiKeyPreference.h"
#include "ColorSchemeWatcher.h"
#include "HttpClient.h"
#include "QuickDriver.h"
#include "ServiceFixtures.h"
#include "TestHttpServer.h"
#include "Theme.h"
#include "UploaderApplication.h"

#include <QFile>
#include <QGuiApplication>
#include <QPalette>
#include <QSettings>
#include <QStandardPaths>
#include <QTest>
#include <QtQml/qqmlextensionplugin.h>

Q_IMPORT_QML_PLUGIN(VellumcastPlugin)

using namespace std::chrono_literals;

// Renders the key screens and the header to PNG files in the build tree, for the README and
// for a look by eye, and checks that what was drawn is the screen that was asked for.
class ScreenshotTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<TestHttpServer> server;
    std::unique_ptr<UploaderApplication> app;
    QuickDriver::Loaded loaded;

    void start(const QString &storedKey)
    {
        QSettings(ApiKeyPreference::organizationName, ApiKeyPreference::applicationName)
            .setValue("apiKey", storedKey);
        app = std::make_unique<UploaderApplication>(APIService(server->url("/api").toString()),
                                                    UpdaterManager::Settings{server->url("/feed"), "1.0", 1h, 1h});
        loaded = QuickDriver::loadWindow("Main.qml");
        QVERIFY(loaded.window);
        loaded.window->resize(960, 680);
    }

    // Waits for the entrance animation to settle.
    void waitForCard()
    {
        QQuickItem *panel = QuickDriver::item(loaded.window, "keyFormPanel");
        QQuickItem *form = QuickDriver::item(loaded.window, "keyForm");
        QVERIFY(panel && form);
        QTRY_COMPARE(panel->opacity(), 1.0);
        QTRY_COMPARE(panel->scale(), 1.0);
        QTRY_COMPARE(form->opacity(), 1.0);
        QTRY_VERIFY(QuickDriver::item(loaded.window, "apiKeyField")->hasActiveFocus());
    }

    QImage save(const QString &name, const QRect &area = QRect())
    {
        QTest::qWait(50); // one more frame for the painted items
        QImage image = loaded.window->grabWindow();
        if (area.isValid())
            image = image.copy(area);
        const QString path = QuickDriver::screenshotDirectory() + u'/' + name + QStringLiteral(".png");
        if (!image.save(path))
            QTest::qFail(qPrintable("cannot write " + path), __FILE__, __LINE__);
        return image;
    }

    static QRect sceneRect(QQuickItem *item)
    {
        return item->mapRectToScene(QRectF(0, 0, item->width(), item->height())).toAlignedRect();
    }

    // The card stands out from the background around it.
    static void verifyCardDrawn(const QImage &image)
    {
        const QColor centre = image.pixelColor(image.width() / 2, image.height() / 2);
        const QColor corner = image.pixelColor(5, image.height() - 5);
        QVERIFY(!image.isNull());
        QVERIFY(centre != corner);
    }

private Q_SLOTS:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        QCoreApplication::setApplicationName(ApiKeyPreference::applicationName);
    }

    void init()
    {
        QFile::remove(ApiKeyPreference::filePath());
        server = std::make_unique<TestHttpServer>();
        QVERIFY(server->listen());
    }

    void cleanup()
    {
        loaded = {};
        app.reset();
        server.reset();
        // A load still waiting for the server ends now that it is gone; left waiting at exit,
        // its task would never be freed.
        QTRY_VERIFY(HttpClient::manager().findChildren<QNetworkReply *>().isEmpty());
        QGuiApplication::setPalette(QPalette());
    }

    void signIn()
    {
        start(QString());
        waitForCard();
        verifyCardDrawn(save("sign-in"));
    }

    void signInAfterRejectedKey()
    {
        server->enqueue(ScriptedResponse::json(401, "{\"error\":\"Invalid API key\"}"));
        start("revoked-key");
        QTRY_VERIFY(QuickDriver::tryItem(loaded.window, "loginView"));
        waitForCard();
        QVERIFY(QuickDriver::item(loaded.window, "notice")->isVisible());
        save("sign-in-rejected");
    }

    // The screens follow a change of the system palette while they are on display.
    void signInDark()
    {
        start(QString());
        waitForCard();
        const auto cornerLightness = [this] {
            const QImage image = loaded.window->grabWindow();
            return image.pixelColor(5, image.height() - 5).lightness();
        };
        QVERIFY(cornerLightness() > 150);

        QGuiApplication::setPalette(ColorSchemeWatcher::darkPalette());
        QTRY_VERIFY(cornerLightness() < 100);
        save("sign-in-dark");
    }

    void keyChange()
    {
        server->enqueue(ScriptedResponse::json(200, ServiceFixtures::workspaceJson("Northwind Studio")));
        start("working-key");
        QTRY_VERIFY(app->sessionManager()->hasWorkspace());
        app->appManager()->setEditingAPIKey(true);
        QTRY_VERIFY(QuickDriver::tryItem(loaded.window, "changeKey"));
        waitForCard();
        verifyCardDrawn(save("key-change"));
    }

    void header()
    {
        server->enqueue(ScriptedResponse::stall());
        start("slow-key");
        QQuickItem *header = QuickDriver::item(loaded.window, "uploaderHeader");
        QVERIFY(header);
        QRect area = sceneRect(header).adjusted(0, 0, 0, 12);
        save("header-loading", area);

        server->enqueue(ScriptedResponse::json(200, ServiceFixtures::workspaceJson("Northwind Studio")));
        app->sessionManager()->fetchWorkspaceData();
        QTRY_VERIFY(app->sessionManager()->hasWorkspace());
        save("header-loaded", area);

        QuickDriver::hover(QuickDriver::item(loaded.window, "workspaceDisplay"));
        QQuickItem *cloud = QuickDriver::item(loaded.window, "cloudSymbol");
        QTRY_COMPARE(qRound(cloud->rotation() * 100), 1000);
        save("header-hovered", area);
    }
};

QTEST_MAIN(ScreenshotTest)
#include "tst_screenshots.moc"
