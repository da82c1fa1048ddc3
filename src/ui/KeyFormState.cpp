#include "KeyFormState.h"

#include "AppManager.h"
#include "SessionManager.h"

#include <QCoro/QCoroTask>
#include <QTimer>

using namespace std::chrono_literals;

namespace {
QCoro::Task<> changeKeyThenLeaveEditing(QPointer<SessionManager> session,
                                         QPointer<AppManager> appManager, QString apiKey)
{
    co_await session->signIn(std::move(apiKey));
    if (appManager)
        appManager->setEditingAPIKey(false);
}
}

KeyFormState::KeyFormState(QObject *parent)
    : QObject(parent)
{
}

void KeyFormState::setSessionManager(SessionManager *sessionManager)
{
    if (m_sessionManager == sessionManager)
        return;
    m_sessionManager = sessionManager;
    Q_EMIT sessionManagerChanged();
}

void KeyFormState::setApiKey(const QString &apiKey)
{
    if (m_apiKey == apiKey)
        return;
    m_apiKey = apiKey;
    Q_EMIT apiKeyChanged();
}

void KeyFormState::runEntranceAnimation()
{
    m_showLogo = true;
    Q_EMIT showLogoChanged();
    QTimer::singleShot(400ms, this, [this] {
        m_showWelcome = true;
        Q_EMIT showWelcomeChanged();
    });
    QTimer::singleShot(100ms, this, [this] {
        m_focusedField = Field::ApiKey;
        Q_EMIT focusedFieldChanged();
    });
}

LoginState::LoginState(QObject *parent)
    : KeyFormState(parent)
{
    connect(this, &KeyFormState::sessionManagerChanged, this, [this] {
        if (SessionManager *session = sessionManager())
            connect(session, &SessionManager::signOutReasonChanged, this, &LoginState::followSignOutReason);
        followSignOutReason();
    });
}

QString LoginState::notice() const
{
    const SessionManager *session = sessionManager();
    if (!session)
        return {};
    switch (session->signOutReason()) {
    case SessionManager::SignOutReason::None:
        return {};
    case SessionManager::SignOutReason::KeyNotAccepted:
        return QStringLiteral("That API key was not accepted.");
    case SessionManager::SignOutReason::ServiceUnreachable:
        return QStringLiteral("Could not reach the service: %1\nPress Return to try again.")
            .arg(session->signOutDetail());
    }
    return {};
}

void LoginState::followSignOutReason()
{
    const SessionManager *session = sessionManager();
    if (session && session->signOutReason() == SessionManager::SignOutReason::ServiceUnreachable
        && apiKey().isEmpty())
        setApiKey(session->storedApiKey());
    Q_EMIT noticeChanged();
}

void LoginState::submitApiKey()
{
    const QString key = enteredKey();
    if (key.isEmpty() || !sessionManager())
        return;
    sessionManager()->signIn(key);
}

ChangeKeyState::ChangeKeyState(QObject *parent)
    : KeyFormState(parent)
{
}

void ChangeKeyState::setAppManager(AppManager *appManager)
{
    if (m_appManager == appManager)
        return;
    m_appManager = appManager;
    Q_EMIT appManagerChanged();
}

void ChangeKeyState::changeApiKey()
{
    const QString key = enteredKey();
    if (key.isEmpty() || !sessionManager())
        return;
    changeKeyThenLeaveEditing(sessionManager(), m_appManager, key);
}

void ChangeKeyState::cancel()
{
    if (m_appManager)
        m_appManager->setEditingAPIKey(false);
}
