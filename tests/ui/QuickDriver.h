#pragma once

#include "FileUploaderState.h"
#include "TestHttpServer.h"
#include "UploaderApplication.h"

#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QString>

#include <memory>

// Drives the app's real QML from QtTest: finds items by objectName and sends them mouse and
// key events the way a user would.
namespace QuickDriver {

// The first item called `objectName` under `root`; warns when there is none.
QQuickItem *item(QObject *root, const QString &objectName);
QString text(QQuickItem *item);

void click(QQuickItem *target);
void type(QQuickWindow *window, const QString &text);
void press(QQuickWindow *window, Qt::Key key);

// The whole application in its window, against a scripted service or the one at `apiUrl`.
class AppHarness
{
public:
    // Stores `storedKey` as the preference (none when null), creates the application with
    // a feed that is never checked on its own and loads the window.
    bool start(const QString &storedKey = QString(), const QString &apiUrl = QString());
    // Started with `storedKey`, on the upload screen once the workspace has loaded.
    bool startSignedIn(const QString &storedKey, const QString &apiUrl = QString());

    TestHttpServer &server() { return m_server; }
    UploaderApplication &app() { return *m_app; }
    SessionManager &session() { return *m_app->sessionManager(); }
    QQuickWindow *window() const { return m_window; }
    QQuickItem *item(const QString &objectName) const { return QuickDriver::item(m_window, objectName); }
    // The objectName of the screen on display.
    QString screen() const;
    FileUploaderState *uploadState() const;

private:
    // Declared in the order they are needed; the engine goes first.
    TestHttpServer m_server;
    std::unique_ptr<UploaderApplication> m_app;
    std::unique_ptr<QQmlApplicationEngine> m_engine;
    QQuickWindow *m_window = nullptr;
};

}
