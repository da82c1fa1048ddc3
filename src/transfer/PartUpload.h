#pragma once

#include "CompletedPart.h"
#include "Result.h"

#include <QCoro/QCoroTask>
#include <QNetworkReply>

#include <functional>
#include <optional>

class CancellationToken;
class FileStreamDevice;
class QUrl;

// Receives the progress texts, always on the UI thread; the transfer goes on once it returned.
using UploadMessageCallback = std::function<void(const QString &)>;

// Attempts the driver grants each PUT.
inline constexpr qint64 partUploadAttempts = 3;

// PUTs one chunk of a multipart upload to its presigned `url`, making up to `maxRetries`
// attempts with waits of 0.5 s, 1 s, 2 s, ... between them. Once stored, the chunk's size is
// added to `uploadedBytes` and the progress text is delivered. Fails with the last attempt's
// error, or at once when `url` is not an http(s) URL.
QCoro::Task<Result<CompletedPart>> uploadPartWithRetry(QByteArray data, qint64 partNumber, QString url,
                                                       qint64 maxRetries, qint64 &uploadedBytes,
                                                       qint64 totalBytes, UploadMessageCallback onMessage,
                                                       CancellationToken *cancellation = nullptr);

// The same for a whole file in one PUT, streamed from disk through `file`, which must stay
// alive until the task ended. Every attempt sends it from its start; when the file cannot be
// read to its end, the attempt fails with the file's error. Progress counts this body alone
// against `totalBytes`.
QCoro::Task<Result<CompletedPart>> uploadSinglePartWithRetry(FileStreamDevice *file, qint64 partNumber,
                                                             QString url, qint64 maxRetries,
                                                             qint64 totalBytes,
                                                             UploadMessageCallback onMessage,
                                                             CancellationToken *cancellation = nullptr);

// Adds `bytes` to `uploadedBytes`, then reports the new count.
void addUploadedBytes(qint64 bytes, qint64 &uploadedBytes, qint64 totalBytes,
                      const UploadMessageCallback &onMessage);

// Delivers "Uploaded (N%)" with `bytes` against `totalBytes`, rounded half away from zero;
// 100 when there is nothing to count against (an empty or unsized file).
void reportUploadProgress(qint64 bytes, qint64 totalBytes, const UploadMessageCallback &onMessage);

// The value of the first header named ETag in any letter case, exactly as sent; none when
// there is no such header or its value is not UTF-8 text.
std::optional<QString> findETagHeader(const QList<QNetworkReply::RawHeaderPair> &headers);

// Storage is only ever reached over http(s): other schemes (file: above all) are refused.
bool isStorageUrl(const QUrl &url);
