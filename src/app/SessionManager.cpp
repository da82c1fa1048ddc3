#include "SessionManager.h"

#include "ApiKeyPreference.h"
#include "Diagnostics.h"

#include <QPointer>

SessionManager::SessionManager(APIService apiService, QObject *parent)
    : QObject(parent)
    , m_apiService(std::move(apiService))
{
    const QString stored = storedApiKey();
    if (!stored.isEmpty()) {
        m_apiKey = stored;
        fetchWorkspaceData();
    }
}

SessionManager::SessionManager(QObject *parent)
    : SessionManager(APIService(), parent)
{
}

void SessionManager::setApiKey(std::optional<QString> apiKey)
{
    m_apiKey = std::move(apiKey);
    Q_EMIT apiKeyChanged();
}

QString SessionManager::storedApiKey() const
{
    return ApiKeyPreference::read();
}

void SessionManager::setStoredApiKey(const QString &apiKey)
{
    ApiKeyPreference::write(apiKey);
    Q_EMIT storedApiKeyChanged();
}

void SessionManager::setWorkspaceData(std::optional<Workspace> workspace)
{
    m_workspaceData = std::move(workspace);
    Q_EMIT workspaceDataChanged();
}

QString SessionManager::workspaceName() const
{
    return m_workspaceData ? m_workspaceData->workspaceName : QString();
}

QCoro::Task<> SessionManager::fetchWorkspaceData()
{
    if (!m_apiKey)
        co_return;
    const quint64 generation = ++m_loadGeneration;
    QPointer<SessionManager> self = this;
    const auto result = co_await m_apiService.pullStartupInformation(*m_apiKey);
    if (!self || generation != m_loadGeneration)
        co_return;

    if (result) {
        setWorkspaceData(result.value());
        if (!result.value())
            signOut(SignOutReason::KeyNotAccepted, QString());
        else if (m_signOutReason != SignOutReason::None) {
            m_signOutReason = SignOutReason::None;
            m_signOutDetail.clear();
            Q_EMIT signOutReasonChanged();
        }
        co_return;
    }

    Diagnostics::printLine(QStringLiteral("Erorr fetching workspace data"));
    const Error &error = result.error();
    const int status = error.httpStatus().value_or(0);
    // An outage or a deploy must not cost the user their stored key; only an answer that
    // refuses the key does.
    if (error.isTransient() || (status >= 500 && status <= 599)) {
        signOut(SignOutReason::ServiceUnreachable,
                status >= 500 ? QStringLiteral("The service answered with HTTP %1.").arg(status)
                              : error.description());
    } else {
        signOut(SignOutReason::KeyNotAccepted, error.description());
    }
}

QCoro::Task<> SessionManager::signIn(QString apiKey)
{
    setApiKey(apiKey);
    setStoredApiKey(apiKey);
    co_await fetchWorkspaceData();
}

void SessionManager::signOut(SignOutReason reason, const QString &detail)
{
    // The reason first: the sign-in screen appears as the key goes and reads it at once.
    m_signOutReason = reason;
    m_signOutDetail = detail;
    Q_EMIT signOutReasonChanged();
    if (reason == SignOutReason::KeyNotAccepted)
        setStoredApiKey(QString());
    setApiKey(std::nullopt);
}
