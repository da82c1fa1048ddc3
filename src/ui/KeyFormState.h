#pragma once

#include <QObject>
#include <QPointer>
#include <QtQmlIntegration>

class AppManager;
class SessionManager;

// What the sign-in and key-change screens show and do, shared by both. One instance lives as
// long as its screen is on display, so every appearance starts afresh.
class KeyFormState : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("Use LoginState or ChangeKeyState")
    Q_PROPERTY(SessionManager *sessionManager READ sessionManager WRITE setSessionManager NOTIFY sessionManagerChanged REQUIRED)
    // The text field's content.
    Q_PROPERTY(QString apiKey READ apiKey WRITE setApiKey NOTIFY apiKeyChanged)
    // The primary button is enabled.
    Q_PROPERTY(bool canCommit READ canCommit NOTIFY apiKeyChanged)
    Q_PROPERTY(bool showLogo READ showLogo NOTIFY showLogoChanged)
    Q_PROPERTY(bool showWelcome READ showWelcome NOTIFY showWelcomeChanged)
    Q_PROPERTY(Field focusedField READ focusedField NOTIFY focusedFieldChanged)

public:
    enum class Field { None, ApiKey };
    Q_ENUM(Field)

    explicit KeyFormState(QObject *parent = nullptr);

    SessionManager *sessionManager() const { return m_sessionManager; }
    void setSessionManager(SessionManager *sessionManager);
    QString apiKey() const { return m_apiKey; }
    void setApiKey(const QString &apiKey);
    bool canCommit() const { return !enteredKey().isEmpty(); }
    bool showLogo() const { return m_showLogo; }
    bool showWelcome() const { return m_showWelcome; }
    Field focusedField() const { return m_focusedField; }

    // The logo at once, the field's focus after 0.1 s, the card and form after 0.4 s.
    Q_INVOKABLE void runEntranceAnimation();

Q_SIGNALS:
    void sessionManagerChanged();
    void apiKeyChanged();
    void showLogoChanged();
    void showWelcomeChanged();
    void focusedFieldChanged();

protected:
    // The key as it will be used: without the blanks a paste tends to bring along. Empty
    // when there is nothing to commit.
    QString enteredKey() const { return m_apiKey.trimmed(); }

private:
    QPointer<SessionManager> m_sessionManager;
    QString m_apiKey;
    bool m_showLogo = false;
    bool m_showWelcome = false;
    Field m_focusedField = Field::None;
};

// The sign-in screen. When it comes back after a failed load it says why; after a failure to
// reach the service it starts with the stored key filled in, so that Return tries again.
class LoginState : public KeyFormState
{
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(QString notice READ notice NOTIFY noticeChanged)

public:
    explicit LoginState(QObject *parent = nullptr);

    QString notice() const;

    // Signs in with the entered key; the session then has a key and the shell moves on at
    // once, before the workspace has arrived. Does nothing while the field is empty.
    Q_INVOKABLE void submitApiKey();

Q_SIGNALS:
    void noticeChanged();

private:
    // After a failure to reach the service, fills in the stored key so that Return retries.
    void followSignOutReason();
};

// The key-change screen, shown over the upload screen while `editingAPIKey` is set.
class ChangeKeyState : public KeyFormState
{
    Q_OBJECT
    QML_ELEMENT
    Q_PROPERTY(AppManager *appManager READ appManager WRITE setAppManager NOTIFY appManagerChanged REQUIRED)

public:
    explicit ChangeKeyState(QObject *parent = nullptr);

    AppManager *appManager() const { return m_appManager; }
    void setAppManager(AppManager *appManager);

    // Signs in with the entered key and leaves key-change mode once its workspace load has
    // ended, even if the screen is gone by then. Does nothing while the field is empty.
    Q_INVOKABLE void changeApiKey();
    // Leaves key-change mode; the key in use stays as it is.
    Q_INVOKABLE void cancel();

Q_SIGNALS:
    void appManagerChanged();

private:
    QPointer<AppManager> m_appManager;
};
