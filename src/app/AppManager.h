#pragma once

#include <QObject>
#include <QtQmlIntegration>

// Application-wide state that belongs to no single screen.
class AppManager : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("Owned by the application")
    // True while the key-change screen replaces the upload screen.
    Q_PROPERTY(bool editingAPIKey READ editingAPIKey WRITE setEditingAPIKey NOTIFY editingAPIKeyChanged)

public:
    using QObject::QObject;

    bool editingAPIKey() const { return m_editingAPIKey; }
    void setEditingAPIKey(bool editing);

Q_SIGNALS:
    void editingAPIKeyChanged();

private:
    bool m_editingAPIKey = false;
};
