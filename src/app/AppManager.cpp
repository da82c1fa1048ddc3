#include "AppManager.h"

void AppManager::setEditingAPIKey(bool editing)
{
    m_editingAPIKey = editing;
    Q_EMIT editingAPIKeyChanged();
}
