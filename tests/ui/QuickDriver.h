#pragma once

#include "TestHttpServer.h"
#include "UploaderApplication.h"

#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QString>

#include <memory>

// Drives real QML from QtTest: loads the app's QML, finds items by objectName and sends them
// mouse and key events the way a user would.
namespace QuickDriver {

// Loads `qrc:/qt/qml/Vellumcast/<path>` into a new engine; `window` is its window, or null
// (the failure is reported through QTest).
struct Loaded
{
    std::unique_ptr<QQmlApplicationEngine> engine;
    QQuickWindow *window = nullptr;
};
Loaded loadWindow(const QString &path);

// The first item called `objectName` under `root`, which must exist.
QQuickItem *item(QObject *root, const QString &objectName);
QQuickItem *tryItem(QObject *root, const QString &objectName);

void click(QQuickItem *target);
void hover(QQuickItem *target);
void moveMouseAway(QQuickWindow *window);
void type(QQuickWindow *window, const QString &text);
void press(QQuickWindow *window, Qt::Key key);

// The whole application against a scripted service, in its window.
class AppHarness
{
public:
    AppHarness();
    ~AppHarness();

    // Stores `storedKey` as the preference (none when null), creates the application with
    // a feed that is never checked on its own and loads the window.
    bool start(const QString &storedKey = QString());

    TestHttpServer &server() { return *m_server; }
    UploaderApplication &app() { return *m_app; }
    SessionManager &session() { return *m_app->sessionManager(); }
    QQuickWindow *window() const { return m_loaded.window; }
    QQuickItem *item(const QString &objectName) const { return QuickDriver::item(m_loaded.window, objectName); }
    // The objectName of the screen on display.
    QString screen() const;

private:
    std::unique_ptr<TestHttpServer> m_server;
    std::unique_ptr<UploaderApplication> m_app;
    Loaded m_loaded;
};

// Where to keep screenshots: a folder in the build tree, created on demand.
QString screenshotDirectory();

}
