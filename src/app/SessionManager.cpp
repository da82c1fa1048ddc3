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
        const APIService::StartupInformation &answer = result.value();
        setWorkspaceData(answer.workspace);
        if (!answer.workspace)
            signOutAfterAnswer(answer.httpStatus, true, QString());
        else if (m_signOutReason != SignOutReason::None) {
            m_signOutReason = SignOutReason::None;
            m_signOutDetail.clear();
            Q_EMIT signOutReasonChanged();
        }
        co_return;
    }

    Diagnostics::printLine(QStringLiteral("Erorr fetching workspace data"));
    const Error &error = result.error();
    if (const std::optional<int> status = error.httpStatus())
        signOutAfterAnswer(*status, error.answeredWithJson(), error.description());
    else
        signOut(SignOutReason::ServiceUnreachable, error.description());
}

void SessionManager::signOutAfterAnswer(int httpStatus, bool answeredWithJson, const QString &detail)
{
    // A proxy, a network login page, rate limiting or an outage say nothing about the key: only
    // the service's own refusal may cost the user their stored key.
    const bool busyOrDown = httpStatus == 408 || httpStatus == 429 || httpStatus >= 500;
    if (httpStatus == 407) {
        signOut(SignOutReason::ServiceUnreachable, QStringLiteral("A proxy asks for a login (HTTP 407)."));
    } else if (busyOrDown) {
        signOut(SignOutReason::ServiceUnreachable,
                QStringLiteral("The service answered with HTTP %1.").arg(httpStatus));
    } else if (httpStatus == 401 || httpStatus == 403 || answeredWithJson) {
        signOut(SignOutReason::KeyNotAccepted, detail);
    } else {
        signOut(SignOutReason::ServiceUnreachable,
                QStringLiteral("The answer (HTTP %1) was not the service's; a network login page or "
                               "a proxy may be in the way.").arg(httpStatus));
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
