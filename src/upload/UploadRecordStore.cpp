#include "UploadRecordStore.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QStandardPaths>

namespace {
constexpr QFile::Permissions ownerOnlyFile = QFile::ReadOwner | QFile::WriteOwner;
constexpr QFile::Permissions ownerOnlyFolder = ownerOnlyFile | QFile::ExeOwner;

Error saveFailure(const QString &why)
{
    return Error(Error::uploadDomain, 0, QStringLiteral("The upload's progress could not be saved: %1").arg(why));
}

Result<void> writePrivately(const QString &path, const QByteArray &contents)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || !file.setPermissions(ownerOnlyFile))
        return saveFailure(file.errorString());
    file.write(contents);
    if (!file.commit())
        return saveFailure(file.errorString());
    return {};
}

// Empty for a file that is not there.
Result<QByteArray> readAll(const QString &path)
{
    QFile file(path);
    if (!file.exists())
        return QByteArray();
    if (!file.open(QIODevice::ReadOnly)) {
        return Error(Error::uploadDomain, 0, QStringLiteral("The record of the interrupted upload could not be read: %1.")
                                                     .arg(file.errorString()));
    }
    return file.readAll();
}
}

UploadRecordStore::UploadRecordStore()
    : UploadRecordStore(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
                        + QStringLiteral("/Vellumcast/Vellumcast Uploader"))
{
}

UploadRecordStore::UploadRecordStore(QString folder)
    : m_folder(std::move(folder))
{
}

QString UploadRecordStore::filePath(qint64 workspaceId) const
{
    return m_folder + QStringLiteral("/interrupted-upload-%1.json").arg(workspaceId);
}

QString UploadRecordStore::sessionsFilePath(qint64 workspaceId) const
{
    return m_folder + QStringLiteral("/interrupted-upload-%1.sessions.json").arg(workspaceId);
}

Result<void> UploadRecordStore::save(const UploadRecord &record, bool sessionsChanged) const
{
    // The sessions' presigned URLs let anyone write to the upload: nobody else may read them.
    if (!QDir().mkpath(m_folder) || !QFile::setPermissions(m_folder, ownerOnlyFolder))
        return saveFailure(QStringLiteral("the folder %1 could not be made private.").arg(m_folder));
    // Sessions first: progress that names a session always finds it.
    if (sessionsChanged) {
        if (const Result<void> written = writePrivately(sessionsFilePath(record.workspaceId), record.sessionsJson()); !written)
            return written;
    }
    return writePrivately(filePath(record.workspaceId), record.progressJson());
}

Result<std::optional<UploadRecord>> UploadRecordStore::load(qint64 workspaceId) const
{
    if (!QFile::exists(filePath(workspaceId))) {
        QFile::remove(sessionsFilePath(workspaceId));
        return std::optional<UploadRecord>();
    }
    const Result<QByteArray> progress = readAll(filePath(workspaceId));
    const Result<QByteArray> sessions = readAll(sessionsFilePath(workspaceId));
    const Result<UploadRecord> record = !progress ? Result<UploadRecord>(progress.error())
            : !sessions                           ? Result<UploadRecord>(sessions.error())
                                                  : UploadRecord::fromJson(progress.value(), sessions.value());
    if (record && record.value().workspaceId == workspaceId)
        return std::optional<UploadRecord>(record.value());
    remove(workspaceId);
    if (record)
        return std::optional<UploadRecord>();
    return record.error();
}

void UploadRecordStore::remove(qint64 workspaceId) const
{
    QFile::remove(filePath(workspaceId));
    QFile::remove(sessionsFilePath(workspaceId));
}
