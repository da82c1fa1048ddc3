#pragma once

#include "APIService.h"
#include "Workspace.h"

#include <QCoro/QCoroTask>
#include <QObject>
#include <QtQmlIntegration>

#include <optional>

// The signed-in state: the key in use, the stored key and the workspace the service returned
// for it. Read and written on the UI thread only.
class SessionManager : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("Owned by the application")
    Q_PROPERTY(bool hasApiKey READ hasApiKey NOTIFY apiKeyChanged)
    Q_PROPERTY(QString apiKey READ apiKeyText NOTIFY apiKeyChanged)
    Q_PROPERTY(QString storedApiKey READ storedApiKey WRITE setStoredApiKey NOTIFY storedApiKeyChanged)
    Q_PROPERTY(bool hasWorkspace READ hasWorkspace NOTIFY workspaceDataChanged)
    Q_PROPERTY(QString workspaceName READ workspaceName NOTIFY workspaceDataChanged)
    Q_PROPERTY(SignOutReason signOutReason READ signOutReason NOTIFY signOutReasonChanged)
    Q_PROPERTY(QString signOutDetail READ signOutDetail NOTIFY signOutReasonChanged)

public:
    // Why the last load signed the user out; the sign-in screen says so.
    enum class SignOutReason { None, KeyNotAccepted, ServiceUnreachable };
    Q_ENUM(SignOutReason)

    // Restores the stored key and, when there is one, starts loading its workspace.
    explicit SessionManager(APIService apiService, QObject *parent = nullptr);
    explicit SessionManager(QObject *parent = nullptr);

    std::optional<QString> apiKey() const { return m_apiKey; }
    void setApiKey(std::optional<QString> apiKey);
    bool hasApiKey() const { return m_apiKey.has_value(); }
    QString apiKeyText() const { return m_apiKey.value_or(QString()); }

    QString storedApiKey() const;
    void setStoredApiKey(const QString &apiKey);

    const std::optional<Workspace> &workspaceData() const { return m_workspaceData; }
    void setWorkspaceData(std::optional<Workspace> workspace);
    bool hasWorkspace() const { return m_workspaceData.has_value(); }
    QString workspaceName() const;

    SignOutReason signOutReason() const { return m_signOutReason; }
    QString signOutDetail() const { return m_signOutDetail; }

    const APIService &apiService() const { return m_apiService; }

    // Loads the workspace for the current key. Never fails: a failure signs out, and erases the
    // stored key only when the service itself refused it. Only the most recently started load
    // may change the state.
    QCoro::Task<> fetchWorkspaceData();

    // Uses `apiKey` from now on: stores it and loads its workspace. The key is taken as given.
    QCoro::Task<> signIn(QString apiKey);

Q_SIGNALS:
    void apiKeyChanged();
    void storedApiKeyChanged();
    void workspaceDataChanged();
    void signOutReasonChanged();

private:
    void signOut(SignOutReason reason, const QString &detail);
    // An answer without a workspace refuses the key when it is a 401 or 403, or the service's JSON
    // holding no workspace.
    void signOutAfterAnswer(int httpStatus, bool answeredWithJson, const QString &detail);

    const APIService m_apiService;
    std::optional<QString> m_apiKey;
    std::optional<Workspace> m_workspaceData;
    SignOutReason m_signOutReason = SignOutReason::None;
    QString m_signOutDetail;
    quint64 m_loadGeneration = 0;
};
