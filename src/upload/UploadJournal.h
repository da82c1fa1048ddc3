#pragma once

#include "UploadRecordStore.h"

#include <optional>

// The record of one run, kept on disk in step with what storage holds: a quit or a crash costs
// at most the part in flight. Every change answers the save's failure, if any; the upload goes
// on without it, it only could not be resumed after a restart.
class UploadJournal
{
public:
    UploadJournal(UploadRecordStore store, UploadRecord record);

    const UploadRecord &record() const { return m_record; }

    std::optional<Error> sessionReceived(qsizetype file, const BackblazePayload &session);
    std::optional<Error> partStored(qsizetype file, const StoredPart &part);
    std::optional<Error> fileStored(qsizetype file, const QString &storageUrl);
    // Forgets the file's session and parts: it goes up again from its first byte.
    std::optional<Error> startFileOver(qsizetype file, const FileIdentity &identity);
    // Form fields the user may still correct before the video is registered.
    std::optional<Error> updateForm(const QString &videoName, const QString &fileFormat, const QString &perspective);
    // The library entry is back: nothing is left to resume.
    void registered();

private:
    std::optional<Error> save(bool sessionsChanged);

    UploadRecordStore m_store;
    UploadRecord m_record;
};
