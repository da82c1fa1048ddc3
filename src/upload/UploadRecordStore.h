#pragma once

#include "Result.h"
#include "UploadRecord.h"

#include <QString>

#include <optional>

// Keeps at most one record of an unfinished upload per workspace, in a folder only the user can
// enter. Writes are atomic: a crash leaves the previous record or the new one, never a mix.
class UploadRecordStore
{
public:
    // The app's data folder, named as its preferences are, whatever the process calls itself.
    UploadRecordStore();
    explicit UploadRecordStore(QString folder);

    QString filePath(qint64 workspaceId) const;
    QString sessionsFilePath(qint64 workspaceId) const;
    // The sessions are written only where `sessionsChanged`.
    Result<void> save(const UploadRecord &record, bool sessionsChanged = true) const;
    // Nothing when no record is kept. A record that cannot be read is removed, so that it is
    // reported once and never stands in the way again.
    Result<std::optional<UploadRecord>> load(qint64 workspaceId) const;
    void remove(qint64 workspaceId) const;

private:
    QString m_folder;
};
