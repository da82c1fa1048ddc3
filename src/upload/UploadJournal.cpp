#include "UploadJournal.h"

UploadJournal::UploadJournal(UploadRecordStore store, UploadRecord record)
    : m_store(std::move(store))
    , m_record(std::move(record))
{
}

std::optional<Error> UploadJournal::sessionReceived(qsizetype file, const BackblazePayload &session)
{
    UploadRecord::File &entry = m_record.files[file];
    entry.session = session;
    entry.storedParts.clear();
    entry.storageUrl.reset();
    return save(true);
}

std::optional<Error> UploadJournal::partStored(qsizetype file, const StoredPart &part)
{
    QList<StoredPart> &parts = m_record.files[file].storedParts;
    // A part sent again replaces what storage held for its number.
    parts.removeIf([&](const StoredPart &stored) { return stored.partNumber == part.partNumber; });
    parts.append(part);
    return save(false);
}

std::optional<Error> UploadJournal::fileStored(qsizetype file, const QString &storageUrl)
{
    m_record.files[file].storageUrl = storageUrl;
    return save(false);
}

std::optional<Error> UploadJournal::startFileOver(qsizetype file, const FileIdentity &identity)
{
    UploadRecord::File &entry = m_record.files[file];
    entry.identity = identity;
    entry.session.reset();
    entry.storedParts.clear();
    entry.storageUrl.reset();
    return save(true);
}

std::optional<Error> UploadJournal::updateForm(const QString &videoName, const QString &fileFormat,
                                               const QString &perspective)
{
    m_record.videoName = videoName;
    m_record.fileFormat = fileFormat;
    m_record.perspective = perspective;
    return save(false);
}

void UploadJournal::registered()
{
    m_record.registrationConfirmed = true;
    m_store.remove(m_record.workspaceId);
}

std::optional<Error> UploadJournal::save(bool sessionsChanged)
{
    const Result<void> saved = m_store.save(m_record, sessionsChanged);
    if (!saved)
        return saved.error();
    return std::nullopt;
}
