#include "ApiKeyPreference.h"
#include "AppManager.h"
#include "HttpClient.h"
#include "QuickDriver.h"
#include "ServiceFixtures.h"
#include "SessionManager.h"
#include "SymbolImage.h"
#include "TestHttpServer.h"

#include <QQmlComponent>
#include <QQmlContext>
#include <QQmlEngine>
#include <QQmlExpression>
#include <QSettings>
#include <QStandardPaths>
#include <QTest>
#include <QtQml/qqmlextensionplugin.h>

Q_IMPORT_QML_PLUGIN(VellumcastPlugin)

using namespace std::chrono_literals;

namespace {
// The header in a window that owns the two flags, as the upload screen does.
const QByteArray harnessQml = R"(
import QtQuick
import Vellumcast

Window {
    id: root

    required property SessionManager sessionManager
    required property AppManager appManager
    property bool hovered: false
    property bool details: true
    property int toggles: 0

    width: 800
    height: 160
    visible: true

    UploaderHeaderView {
        anchors.left: parent.left
        anchors.right: parent.right
        isHeaderHovered: root.hovered
        showDetails: root.details
        sessionManager: root.sessionManager
        appManager: root.appManager
        onHeaderHoverChanged: value => root.hovered = value
        onToggleDetails: { root.details = !root.details; root.toggles += 1 }
    }
}
)";
}

class UploaderHeaderTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<TestHttpServer> server;
    std::unique_ptr<SessionManager> session;
    std::unique_ptr<AppManager> appManager;
    std::unique_ptr<QQmlEngine> engine;
    std::unique_ptr<QQuickWindow> window;

    // Shows the header for a session that starts loading `storedKey`'s workspace.
    void show(const QString &storedKey, ScriptedResponse answer)
    {
        server->enqueue(std::move(answer));
        QSettings(ApiKeyPreference::organizationName, ApiKeyPreference::applicationName)
            .setValue("apiKey", storedKey);
        session = std::make_unique<SessionManager>(APIService(server->url("/api").toString()));
        appManager = std::make_unique<AppManager>();
        engine = std::make_unique<QQmlEngine>();
        engine->addImportPath("qrc:/qt/qml");
        QQmlComponent component(engine.get());
        component.setData(harnessQml, QUrl("qrc:/tst_uploaderheader/Harness.qml"));
        window.reset(qobject_cast<QQuickWindow *>(component.createWithInitialProperties(
            {{"sessionManager", QVariant::fromValue(session.get())},
             {"appManager", QVariant::fromValue(appManager.get())}})));
        QVERIFY2(window, qPrintable(component.errorString()));
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    }

    QQuickItem *item(const QString &name) { return QuickDriver::item(window.get(), name); }

private Q_SLOTS:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void init()
    {
        server = std::make_unique<TestHttpServer>();
        QVERIFY(server->listen());
    }

    void cleanup()
    {
        window.reset();
        engine.reset();
        session.reset();
        appManager.reset();
        server.reset();
        // A load still waiting for the server ends now that it is gone; left waiting at exit,
        // its task would never be freed.
        QTRY_VERIFY(HttpClient::manager().findChildren<QNetworkReply *>().isEmpty());
    }

    void showsLoadingUntilTheWorkspaceArrives()
    {
        ScriptedResponse slow = ScriptedResponse::json(200, ServiceFixtures::workspaceJson("Harbour Films"));
        slow.delay = 200ms;
        show("key", slow);
        QQuickItem *label = item("workspaceLabel");
        QCOMPARE(label->property("text").toString(), "Loading...");
        QCOMPARE(label->opacity(), 0.8);
        QTRY_COMPARE(label->property("text").toString(), "Harbour Films");
        QCOMPARE(label->opacity(), 1.0);
    }

    void clickOpensTheKeyChangeEvenWhileLoading()
    {
        show("key", ScriptedResponse::stall());
        QuickDriver::click(item("workspaceDisplay"));
        QVERIFY(appManager->editingAPIKey());
    }

    void hoverTiltsEnlargesAndLightsTheDisplay()
    {
        show("key", ScriptedResponse::json(200, ServiceFixtures::workspaceJson()));
        QQuickItem *display = item("workspaceDisplay");
        QQuickItem *cloud = item("cloudSymbol");
        QQuickItem *panel = item("workspacePanel");
        QuickDriver::hover(display);
        QTRY_VERIFY(window->property("hovered").toBool());
        QTRY_COMPARE(qRound(cloud->rotation() * 1000), 10000);
        QTRY_COMPARE(display->scale(), 1.02);
        QTRY_COMPARE(panel->property("shadowOpacity").toReal(), 1.0);

        QuickDriver::moveMouseAway(window.get());
        QTRY_VERIFY(!window->property("hovered").toBool());
        QTRY_COMPARE(qRound(cloud->rotation() * 1000), 0);
        QTRY_COMPARE(display->scale(), 1.0);
        QTRY_COMPARE(panel->property("shadowOpacity").toReal(), 0.0);
    }

    void detailsButtonFollowsShowDetailsWhoeverChangesIt()
    {
        show("key", ScriptedResponse::json(200, ServiceFixtures::workspaceJson()));
        QQuickItem *button = item("detailsButton");
        QQuickItem *symbol = item("detailsSymbol");
        auto tooltip = [button] {
            return QQmlExpression(qmlContext(button), button, "ToolTip.text").evaluate().toString();
        };
        QCOMPARE(symbol->property("name").toString(), "eye.slash.fill");
        QCOMPARE(tooltip(), "Hide details");

        QuickDriver::click(button);
        QCOMPARE(window->property("toggles").toInt(), 1);
        QCOMPARE(symbol->property("name").toString(), "eye.fill");
        QCOMPARE(tooltip(), "Show details");

        window->setProperty("details", true);
        QCOMPARE(symbol->property("name").toString(), "eye.slash.fill");
        QCOMPARE(tooltip(), "Hide details");
        QCOMPARE(window->property("toggles").toInt(), 1);
    }

    void symbolsTheScreensUseExist_data()
    {
        QTest::addColumn<QString>("name");
        for (const char *name : {"icloud.and.arrow.up.fill", "eye.fill", "eye.slash.fill",
                                 "arrow.up.circle.fill", "xmark.circle.fill", "checkmark"})
            QTest::newRow(name) << QString::fromLatin1(name);
    }

    void symbolsTheScreensUseExist()
    {
        QFETCH(QString, name);
        const QRectF bounds = SymbolImage::shape(name).boundingRect();
        QVERIFY(bounds.width() > 10 && bounds.height() > 10);
        QVERIFY(SymbolImage::shape("no.such.symbol").isEmpty());
    }
};

QTEST_MAIN(UploaderHeaderTest)
#include "tst_uploaderheader.moc"
