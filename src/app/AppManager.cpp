#include "AppManager.h"

void AppManager::setEditingAPIKey(bool editing)
{
    m_editingAPIKey = editing;
    Q_EMIT editingAPIKeyChanged();
}

void AppManager::setUploadInProgress(bool inProgress)
{
    if (m_uploadInProgress == inProgress)
        return;
    m_uploadInProgress = inProgress;
    Q_EMIT uploadInProgressChanged();
    // A run that ended by itself leaves nothing to ask about.
    if (!inProgress)
        setPendingAction(PendingAction::NoAction);
}

QString AppManager::pendingQuestion() const
{
    switch (m_pendingAction) {
    case PendingAction::NoAction:
        return {};
    case PendingAction::ChangeKey:
        return QStringLiteral("An upload is in progress. Cancel it and change the key?");
    case PendingAction::Close:
        return QStringLiteral("An upload is in progress. Cancel it and quit?");
    }
    return {};
}

void AppManager::requestKeyChange()
{
    if (m_uploadInProgress)
        setPendingAction(PendingAction::ChangeKey);
    else
        setEditingAPIKey(true);
}

bool AppManager::requestClose()
{
    if (!m_uploadInProgress)
        return true;
    setPendingAction(PendingAction::Close);
    return false;
}

void AppManager::confirmPendingAction()
{
    const PendingAction action = m_pendingAction;
    setPendingAction(PendingAction::NoAction);
    Q_EMIT cancelUploadRequested();
    if (action == PendingAction::ChangeKey)
        setEditingAPIKey(true);
    else if (action == PendingAction::Close)
        Q_EMIT closeConfirmed();
}

void AppManager::declinePendingAction()
{
    setPendingAction(PendingAction::NoAction);
}

void AppManager::setPendingAction(PendingAction action)
{
    if (m_pendingAction == action)
        return;
    m_pendingAction = action;
    Q_EMIT pendingActionChanged();
}
