#include "FileDialogFolder.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

FileDialogFolder::FileDialogFolder(QObject *parent)
    : QObject(parent)
{
    const QString videos = QStandardPaths::writableLocation(QStandardPaths::MoviesLocation);
    m_folder = QUrl::fromLocalFile(QFileInfo(videos).isDir() ? videos : QDir::homePath());
}

void FileDialogFolder::remember(const QUrl &chosenFile)
{
    if (!chosenFile.isLocalFile())
        return;
    const QUrl folder = QUrl::fromLocalFile(QFileInfo(chosenFile.toLocalFile()).absolutePath());
    if (folder == m_folder)
        return;
    m_folder = folder;
    emit folderChanged();
}
