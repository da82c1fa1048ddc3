#pragma once

#include "FileTransfer.h"
#include "PresignedChunkUrl.h"

#include <QCoro/QCoroTask>
#include <QList>
#include <QUrl>

#include <functional>
#include <optional>

class CancellationToken;
class StorageClient;

// Stores one file through an upload session's presigned URLs: with exactly one URL the whole
// file is streamed in a single PUT; otherwise it is cut into `chunkSize` chunks, PUT one after
// another in ascending chunk id order (skipping the parts storage already holds), and completed
// with one POST to the completion URL. Never fails with an error: every event is a line on
// standard output, progress texts go to `onMessage`, and the outcome says whether the file is
// stored, or the last error. Its coroutines run on the UI thread; the disk and the network are
// worked on worker threads. Every request goes through `storage`, whose connection a caller may
// keep for its next file.
QCoro::Task<FileTransferOutcome> transferFile(FileTransfer request, StorageClient &storage);

// Whether a session of `chunkCount` URLs can be completed at `completeUploadUrl` (a single PUT
// needs no completion); prints why not.
bool completionUrlFits(qsizetype chunkCount, const std::optional<QUrl> &completeUploadUrl);

// The same for a file not yet opened, from its first byte, failing at the first failure that
// outlasts its attempts; the answer says whether the file is stored.
QCoro::Task<bool> uploadFileSequentially(QUrl fileURL, qint64 chunkSize,
                                         QList<PresignedChunkUrl> presignedChunkUrls,
                                         std::optional<QUrl> completeUploadUrl,
                                         std::function<void(const QString &)> onMessage,
                                         CancellationToken *cancellation = nullptr);
