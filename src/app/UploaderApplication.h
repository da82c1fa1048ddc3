#pragma once

#include "APIService.h"
#include "AppManager.h"
#include "SessionManager.h"
#include "UpdaterManager.h"

#include <QObject>
#include <QtQmlIntegration>

class QJSEngine;
class QQmlEngine;

// The application: owns the updater, the session state and the app state for the life of
// the process and chooses the screen the window shows. Exactly one exists; QML reaches it as
// the singleton UploaderApplication.
class UploaderApplication : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON
    Q_PROPERTY(SessionManager *sessionManager READ sessionManager CONSTANT)
    Q_PROPERTY(AppManager *appManager READ appManager CONSTANT)
    Q_PROPERTY(UpdaterManager *updaterManager READ updaterManager CONSTANT)
    Q_PROPERTY(Screen screen READ screen NOTIFY screenChanged)

public:
    enum class Screen { SignIn, KeyChange, Upload };
    Q_ENUM(Screen)

    // QML gets this instance from create(); it never constructs one itself.
    UploaderApplication(APIService apiService, UpdaterManager::Settings updaterSettings,
                        QObject *parent = nullptr);
    ~UploaderApplication() override;

    static UploaderApplication *create(QQmlEngine *qmlEngine, QJSEngine *jsEngine);

    SessionManager *sessionManager() const { return m_sessionManager; }
    AppManager *appManager() const { return m_appManager; }
    UpdaterManager *updaterManager() const { return m_updaterManager; }

    // No key: sign-in. A key, even an empty one, while the key is being changed: key change.
    // Otherwise the upload screen.
    Screen screen() const;

Q_SIGNALS:
    void screenChanged();

private:
    void updateScreen();

    UpdaterManager *const m_updaterManager;
    SessionManager *const m_sessionManager;
    AppManager *const m_appManager;
    Screen m_screen;
};
