#pragma once

#include "CompletedPart.h"
#include "HttpResponse.h"
#include "RequestBody.h"
#include "Result.h"

#include <QCoro/QCoroTask>

#include <functional>
#include <optional>

class CancellationToken;
class StorageClient;
class QUrl;

// Receives the progress texts, always on the UI thread; the transfer goes on once it returned.
using UploadMessageCallback = std::function<void(const QString &)>;

// Attempts the driver grants each PUT.
inline constexpr qint64 partUploadAttempts = 3;

// PUTs one chunk of a multipart upload to its presigned `url` through `storage`, making up to
// `maxRetries` attempts with waits of 0.5 s, 1 s, 2 s, ... between them. Every attempt sends
// `data` from its start; a file range that can no longer be read whole fails the attempt with
// the file's error. Once stored, the chunk's size is added to `uploadedBytes` and the progress
// text is delivered. Fails with the last attempt's error, or at once when `url` is not an
// http(s) URL.
QCoro::Task<Result<CompletedPart>> uploadPartWithRetry(RequestBody data, qint64 partNumber, QString url,
                                                       qint64 maxRetries, qint64 &uploadedBytes,
                                                       qint64 totalBytes, UploadMessageCallback onMessage,
                                                       StorageClient &storage,
                                                       CancellationToken *cancellation = nullptr);

// The same for a whole file in one PUT; progress counts this body alone against `totalBytes`.
QCoro::Task<Result<CompletedPart>> uploadSinglePartWithRetry(RequestBody data, qint64 partNumber, QString url,
                                                             qint64 maxRetries, qint64 totalBytes,
                                                             UploadMessageCallback onMessage,
                                                             StorageClient &storage,
                                                             CancellationToken *cancellation = nullptr);

// Adds `bytes` to `uploadedBytes`, then reports the new count.
void addUploadedBytes(qint64 bytes, qint64 &uploadedBytes, qint64 totalBytes,
                      const UploadMessageCallback &onMessage);

// Delivers "Uploaded (N%)" with `bytes` against `totalBytes`, rounded half away from zero;
// 100 when there is nothing to count against (an empty or unsized file).
void reportUploadProgress(qint64 bytes, qint64 totalBytes, const UploadMessageCallback &onMessage);

// The value of the first header named ETag in any letter case, exactly as sent; none when
// there is no such header or its value is not UTF-8 text.
std::optional<QString> findETagHeader(const QList<HttpResponse::Header> &headers);

// Storage is only ever reached over http(s): other schemes (file: above all) are refused.
bool isStorageUrl(const QUrl &url);
