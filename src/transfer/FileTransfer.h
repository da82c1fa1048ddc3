#pragma once

#include "Error.h"
#include "PartUpload.h"
#include "PresignedChunkUrl.h"
#include "StoredPart.h"

#include <QList>
#include <QUrl>

#include <functional>
#include <memory>
#include <optional>

class CancellationToken;
class OutageWait;
class QFile;

// What transferFile() needs to store one file through its upload session.
struct FileTransfer
{
    // Opened read-only by the caller, who measured `fileSize` at that moment; null when it could
    // not be opened, which fails the transfer where it would first read.
    std::shared_ptr<QFile> file;
    qint64 fileSize = 0;
    // The session's storage side. With exactly one URL the file goes up in one PUT and
    // `completeUploadUrl` is not used; otherwise it must be a storage URL (see isStorageUrl).
    qint64 chunkSize = 0;
    QList<PresignedChunkUrl> chunkUrls;
    QUrl completeUploadUrl;
    // Parts storage already holds from an earlier run of this session: not sent again, listed
    // in the completion, counted in the progress. One that no longer matches its chunk's range is
    // sent again. Ignored by the single PUT.
    QList<StoredPart> storedParts;
    // After each newly stored part, once its "📋 Part" line and progress text are out.
    std::function<void(const StoredPart &)> onPartStored;
    UploadMessageCallback onMessage;
    CancellationToken *cancellation = nullptr;
    // Without one, a part or completion that used its attempts ends the transfer; with one, a
    // failure that time can heal is waited out and the same request tried again.
    OutageWait *outageWait = nullptr;
};

struct FileTransferOutcome
{
    bool stored = false;
    // Why the file is not stored: the last error (its httpStatus() tells a refusal such as 403).
    std::optional<Error> failure;
};
