#include "UploaderApplication.h"

#include "AccessibleEnabledState.h"

#include <QJSEngine>

namespace {
UploaderApplication *theInstance = nullptr;
}

UploaderApplication::UploaderApplication(APIService apiService,
                                         UpdaterManager::Settings updaterSettings, QObject *parent)
    : QObject(parent)
    , m_updaterManager(new UpdaterManager(std::move(updaterSettings), this))
    , m_sessionManager(new SessionManager(std::move(apiService), this))
    , m_appManager(new AppManager(this))
    , m_screen(screen())
{
    Q_ASSERT_X(!theInstance, "UploaderApplication", "only one may exist");
    theInstance = this;
    AccessibleEnabledState::install();
    connect(m_sessionManager, &SessionManager::apiKeyChanged, this, &UploaderApplication::updateScreen);
    connect(m_appManager, &AppManager::editingAPIKeyChanged, this, &UploaderApplication::updateScreen);
}

UploaderApplication::~UploaderApplication()
{
    theInstance = nullptr;
}

UploaderApplication *UploaderApplication::create(QQmlEngine *, QJSEngine *)
{
    Q_ASSERT_X(theInstance, "UploaderApplication", "create it before loading QML");
    QJSEngine::setObjectOwnership(theInstance, QJSEngine::CppOwnership);
    return theInstance;
}

UploaderApplication::Screen UploaderApplication::screen() const
{
    if (!m_sessionManager->hasApiKey())
        return Screen::SignIn;
    if (m_appManager->editingAPIKey())
        return Screen::KeyChange;
    return Screen::Upload;
}

void UploaderApplication::updateScreen()
{
    const Screen current = screen();
    if (current == m_screen)
        return;
    m_screen = current;
    Q_EMIT screenChanged();
}
