#pragma once

#include "CompletedPart.h"
#include "Result.h"

#include <QCoro/QCoroTask>
#include <QList>
#include <QUrl>

#include <optional>

class CancellationToken;
class StorageClient;

// The CompleteMultipartUpload document (S3 API 2006-03-01) naming `completedParts` in ascending
// part order, ETags verbatim and unescaped, exactly as the store expects it byte for byte.
QString completionDocument(const QList<CompletedPart> &completedParts);

// An <Error> document an object store sent back, possibly inside a 2xx answer.
struct StoreError
{
    QString code;
    QString message;

    friend bool operator==(const StoreError &, const StoreError &) = default;
};

// The store's refusal when `body` is an XML document whose root element is Error (its Code and
// Message children, as far as they could be read); none for any other body, XML or not.
std::optional<StoreError> findStoreError(const QByteArray &body);

// One POST of `document`. Fails with the transport error, or with an UploadError when the
// store refused: a status outside 2xx, or a 2xx answer holding an <Error> document (or too
// large to tell).
QCoro::Task<Result<void>> postCompleteMultipartUpload(QUrl completeUploadUrl, QString document,
                                                      StorageClient &storage,
                                                      CancellationToken *cancellation = nullptr);

// POSTs `document` up to four times, 2 s apart, writing nothing. A cancelled wait ends it at
// once with the cancellation error.
QCoro::Task<Result<void>> postCompletionWithRetry(QUrl completeUploadUrl, QString document, StorageClient &storage,
                                                  CancellationToken *cancellation = nullptr);

// Writes the document to standard output, then posts it with postCompletionWithRetry().
QCoro::Task<Result<void>> finalizeUpload(QList<CompletedPart> completedParts, QUrl completeUploadUrl,
                                         StorageClient &storage, CancellationToken *cancellation = nullptr);
