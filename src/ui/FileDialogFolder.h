#pragma once

#include <QObject>
#include <QUrl>
#include <QtQmlIntegration>

// Where the next open-file dialog starts: the user's videos folder (home where there is none),
// then the folder of the last file chosen in any picker. Kept for the session only.
class FileDialogFolder : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON
    Q_PROPERTY(QUrl folder READ folder NOTIFY folderChanged)

public:
    explicit FileDialogFolder(QObject *parent = nullptr);

    QUrl folder() const { return m_folder; }
    // A confirmed dialog's file; an empty one changes nothing.
    Q_INVOKABLE void remember(const QUrl &chosenFile);

Q_SIGNALS:
    void folderChanged();

private:
    QUrl m_folder;
};
