#pragma once

#include "PresignedChunkUrl.h"

#include <QCoro/QCoroTask>
#include <QList>
#include <QUrl>

#include <functional>
#include <optional>

class CancellationToken;

// Stores the local file `fileURL` through an upload session's presigned URLs: with exactly one
// URL the whole file is streamed in a single PUT; otherwise it is cut into `chunkSize` chunks,
// PUT one after another in ascending chunk id order, and completed with one POST to
// `completeUploadUrl`. Never fails with an error: every event is a line on standard output,
// progress texts go to `onMessage`, and the answer says whether the file is stored.
// Its coroutines run on the UI thread; the disk and the network are worked on worker threads.
QCoro::Task<bool> uploadFileSequentially(QUrl fileURL, qint64 chunkSize,
                                         QList<PresignedChunkUrl> presignedChunkUrls,
                                         std::optional<QUrl> completeUploadUrl,
                                         std::function<void(const QString &)> onMessage,
                                         CancellationToken *cancellation = nullptr);
