#pragma once

#include <QObject>
#include <QtQmlIntegration>

// Application-wide state that belongs to no single screen, and the rule that nothing ends a
// running upload without the user's word.
class AppManager : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("Owned by the application")
    // True while the key-change screen replaces the upload screen.
    Q_PROPERTY(bool editingAPIKey READ editingAPIKey WRITE setEditingAPIKey NOTIFY editingAPIKeyChanged)
    // The upload screen reports it; leaving that screen or closing the window would end the run.
    Q_PROPERTY(bool uploadInProgress READ uploadInProgress NOTIFY uploadInProgressChanged)
    // What waits for the user's answer to pendingQuestion.
    Q_PROPERTY(PendingAction pendingAction READ pendingAction NOTIFY pendingActionChanged)
    Q_PROPERTY(QString pendingQuestion READ pendingQuestion NOTIFY pendingActionChanged)

public:
    enum class PendingAction { NoAction, ChangeKey, Close };
    Q_ENUM(PendingAction)

    using QObject::QObject;

    bool editingAPIKey() const { return m_editingAPIKey; }
    void setEditingAPIKey(bool editing);

    bool uploadInProgress() const { return m_uploadInProgress; }
    void setUploadInProgress(bool inProgress);

    PendingAction pendingAction() const { return m_pendingAction; }
    QString pendingQuestion() const;

    // Opens the key-change screen, or first asks whether to cancel the running upload.
    Q_INVOKABLE void requestKeyChange();
    // Whether the window may close now; when an upload runs, the question is asked instead.
    Q_INVOKABLE bool requestClose();
    // Cancels the upload, then does what was asked for.
    Q_INVOKABLE void confirmPendingAction();
    // Leaves the upload running and the screen as it is.
    Q_INVOKABLE void declinePendingAction();

Q_SIGNALS:
    void editingAPIKeyChanged();
    void uploadInProgressChanged();
    void pendingActionChanged();
    // The upload screen cancels its run.
    void cancelUploadRequested();
    // The window closes; the run has been cancelled.
    void closeConfirmed();

private:
    void setPendingAction(PendingAction action);

    bool m_editingAPIKey = false;
    bool m_uploadInProgress = false;
    PendingAction m_pendingAction = PendingAction::NoAction;
};
