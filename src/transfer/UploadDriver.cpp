#include "UploadDriver.h"

#include "CancellationToken.h"
#include "Diagnostics.h"
#include "OutageWait.h"
#include "StorageClient.h"
#include "StorageWorkers.h"
#include "UploadCompletion.h"

#include <QCoro/QCoroFuture>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QPointer>

#include <algorithm>
#include <utility>

namespace {
void print(const QString &line)
{
    Diagnostics::printLine(line);
}

QString number(qint64 value)
{
    return QString::number(value);
}

FileTransferOutcome failed(Error failure)
{
    return {false, std::move(failure)};
}

Error localFileError(const QString &description)
{
    return Error(fileErrorDomain, QFileDevice::ReadError, description);
}

// The bytes of `length` from `offset` that the file still holds (at most `length`, none for a
// length of 0 or less).
QCoro::Task<qint64> readableLength(std::shared_ptr<QFile> file, qint64 offset, qint64 length)
{
    QFuture<qint64> sizing = StorageClient::workerThreads().run([file] { return file->size(); });
    const qint64 fileSizeNow = co_await sizing;
    co_return std::clamp<qint64>(fileSizeNow - offset, 0, std::max<qint64>(length, 0));
}

template<typename T>
using AttemptRound = std::function<QCoro::Task<Result<T>>()>;

// Runs rounds of attempts until one succeeds or fails for good: with an outage wait, a failure
// that time can heal is waited out and followed by a fresh round; without one, the first
// round's outcome is the answer.
template<typename T>
QCoro::Task<Result<T>> outlastOutages(AttemptRound<T> nextRound, QPointer<OutageWait> outageWait,
                                      QPointer<CancellationToken> token)
{
    for (;;) {
        QCoro::Task<Result<T>> round = nextRound();
        Result<T> outcome = co_await std::move(round);
        if (!outageWait)
            co_return outcome;
        if (outcome) {
            outageWait->reset();
            co_return outcome;
        }
        if (!timeCanHeal(outcome.error()))
            co_return outcome;
        const Error failure = outcome.error();
        const Result<void> waited = co_await outageWait->wait(failure, token);
        if (!waited)
            co_return waited.error();
    }
}

// The file streams from disk in one PUT rather than being read into memory first; after an
// outage the whole PUT starts over.
QCoro::Task<FileTransferOutcome> sendWholeFile(const FileTransfer &request, StorageClient &storage)
{
    const QPointer<CancellationToken> token = request.cancellation;
    const QPointer<OutageWait> outageWait = request.outageWait;
    if (!request.file) {
        print(QStringLiteral("❌ Failed to read file data"));
        co_return failed(localFileError(QStringLiteral("Failed to read file data")));
    }
    const PresignedChunkUrl target = request.chunkUrls.first();
    const AttemptRound<CompletedPart> putOnce = [&request, &storage, &target, &token] {
        return uploadSinglePartWithRetry(RequestBody::fromFile(request.file, 0, request.fileSize), 1, target.url,
                                         partUploadAttempts, request.fileSize, request.onMessage, storage, token);
    };
    const auto part = co_await outlastOutages(putOnce, outageWait, token);
    if (!part) {
        print(QStringLiteral("❌ Single upload failed: ") + part.error().description());
        co_return failed(part.error());
    }
    print(QStringLiteral("✅ Single upload successful"));
    co_return FileTransferOutcome{true, std::nullopt};
}

// Checks that need no disk access and catch a session that cannot store the file intact.
std::optional<Error> sessionMisfit(qint64 fileSize, qint64 chunkSize, qint64 totalChunks)
{
    if (chunkSize <= 0) {
        const QString text = QStringLiteral("Invalid chunk size: ") + number(chunkSize);
        print(QStringLiteral("❌ ") + text);
        return Error::decoding(text);
    }
    const qint64 chunksNeeded = fileSize > 0 ? (fileSize - 1) / chunkSize + 1 : 0;
    if (chunksNeeded > totalChunks) {
        const QString text = QStringLiteral("The presigned chunks cannot hold the whole file: ") + number(totalChunks)
                + QStringLiteral(" chunks of ") + number(chunkSize) + QStringLiteral(" bytes for ")
                + number(fileSize) + QStringLiteral(" bytes");
        print(QStringLiteral("❌ ") + text);
        return Error::decoding(text);
    }
    return std::nullopt;
}

// The stored parts that still match their chunk's byte range, by part number.
QHash<qint64, StoredPart> partsToSkip(const FileTransfer &request, const QList<PresignedChunkUrl> &sortedUrls)
{
    QHash<qint64, StoredPart> stored;
    for (const StoredPart &part : request.storedParts)
        stored.insert(part.partNumber, part);
    QHash<qint64, StoredPart> skipped;
    for (qint64 index = 0; index < sortedUrls.size(); ++index) {
        const qint64 partNumber = sortedUrls.at(index).chunkId;
        const auto found = stored.constFind(partNumber);
        if (found == stored.cend())
            continue;
        const qint64 offset = index * request.chunkSize;
        const qint64 size = std::min(request.chunkSize, request.fileSize - offset);
        if (found->offset == offset && found->size == size)
            skipped.insert(partNumber, *found);
        else
            print(QStringLiteral("⚠️ Stored part ") + number(partNumber)
                  + QStringLiteral(" does not match its chunk; it is sent again"));
    }
    return skipped;
}

qint64 byteCount(const QHash<qint64, StoredPart> &parts)
{
    qint64 bytes = 0;
    for (const StoredPart &part : parts)
        bytes += part.size;
    return bytes;
}

QCoro::Task<FileTransferOutcome> sendInChunks(const FileTransfer &request, StorageClient &storage)
{
    const QPointer<CancellationToken> token = request.cancellation;
    const QPointer<OutageWait> outageWait = request.outageWait;
    const QUrl &completionUrl = request.completeUploadUrl;
    print(QStringLiteral("Starting sequential upload with complete url: ")
          + Diagnostics::redactedUrl(completionUrl.toString(QUrl::FullyEncoded)));

    QList<PresignedChunkUrl> chunkUrls = request.chunkUrls;
    std::stable_sort(chunkUrls.begin(), chunkUrls.end(),
                     [](const PresignedChunkUrl &a, const PresignedChunkUrl &b) { return a.chunkId < b.chunkId; });
    const qint64 totalChunks = chunkUrls.size();
    const qint64 fileSize = request.fileSize;
    const qint64 chunkSize = request.chunkSize;
    print(QStringLiteral("📊 File size: ") + number(fileSize) + QStringLiteral(" bytes, Total chunks: ")
          + number(totalChunks) + QStringLiteral(", Chunk size: ") + number(chunkSize));
    if (const std::optional<Error> misfit = sessionMisfit(fileSize, chunkSize, totalChunks))
        co_return failed(*misfit);

    const QHash<qint64, StoredPart> skipped = partsToSkip(request, chunkUrls);
    qint64 uploadedBytes = byteCount(skipped);
    if (!skipped.isEmpty()) {
        print(QStringLiteral("📋 Resuming with ") + number(skipped.size()) + QStringLiteral(" of ")
              + number(totalChunks) + QStringLiteral(" parts already stored (") + number(uploadedBytes)
              + QStringLiteral(" bytes)"));
    }
    const std::shared_ptr<QFile> file = request.file;
    if (!file) {
        print(QStringLiteral("❌ Failed to open file"));
        co_return failed(localFileError(QStringLiteral("Failed to open file")));
    }

    QList<CompletedPart> completedParts;
    for (qint64 index = 0; index < totalChunks; ++index) {
        const PresignedChunkUrl &entry = chunkUrls.at(index);
        if (const auto stored = skipped.constFind(entry.chunkId); stored != skipped.cend()) {
            completedParts.append(CompletedPart{stored->partNumber, stored->eTag});
            continue;
        }
        const QString chunkId = number(entry.chunkId);
        const qint64 offset = index * chunkSize;
        const qint64 size = std::min(chunkSize, fileSize - offset);
        print(QStringLiteral("📤 Uploading chunk ") + chunkId + QStringLiteral("/") + number(totalChunks)
              + QStringLiteral(" (offset: ") + number(offset) + QStringLiteral(", size: ") + number(size)
              + QStringLiteral(")"));

        // The chunk goes out straight from the file; what it still holds of the range is
        // known before anything is sent.
        const qint64 readable = co_await readableLength(file, offset, size);
        if (readable != size) {
            const QString text = QStringLiteral("Read chunk size mismatch: expected ") + number(size)
                    + QStringLiteral(", got ") + number(readable);
            print(QStringLiteral("❌ ") + text);
            co_return failed(localFileError(text));
        }
        const AttemptRound<CompletedPart> putOnce = [&] {
            return uploadPartWithRetry(RequestBody::fromFile(file, offset, size), entry.chunkId, entry.url,
                                       partUploadAttempts, uploadedBytes, fileSize, request.onMessage, storage,
                                       token);
        };
        const auto part = co_await outlastOutages(putOnce, outageWait, token);
        if (!part) {
            print(QStringLiteral("❌ Upload failed for chunk ") + chunkId + QStringLiteral(": ")
                  + part.error().description());
            co_return failed(part.error());
        }
        completedParts.append(part.value());
        if (request.onPartStored)
            request.onPartStored(StoredPart{entry.chunkId, part.value().eTag, offset, size});
    }

    print(QStringLiteral("📋 All chunks uploaded. Total completed parts: ") + number(completedParts.size()));
    // The document is written once; after an outage only the POSTs are made again.
    bool documentWritten = false;
    const AttemptRound<void> completeOnce = [&] {
        if (std::exchange(documentWritten, true))
            return postCompletionWithRetry(completionUrl, completionDocument(completedParts), storage, token);
        return finalizeUpload(completedParts, completionUrl, storage, token);
    };
    const Result<void> finalized = co_await outlastOutages(completeOnce, outageWait, token);
    if (!finalized) {
        print(QStringLiteral("❌ Error finalizing upload: ") + finalized.error().fullDescription());
        co_return failed(finalized.error());
    }
    print(QStringLiteral("✅ Finalization successful!"));
    co_return FileTransferOutcome{true, std::nullopt};
}

// Opens the file for the whole run, to be read with pread by the storage client's worker, and
// measures it: whether it opened, and its size attribute (0 when unreadable).
std::pair<bool, qint64> openAndMeasure(std::shared_ptr<QFile> file)
{
    const qint64 size = QFileInfo(file->fileName()).size();
    return {file->open(QIODevice::ReadOnly | QIODevice::Unbuffered), size};
}
}

QCoro::Task<FileTransferOutcome> transferFile(FileTransfer request, StorageClient &storage)
{
    if (request.chunkUrls.size() == 1)
        co_return co_await sendWholeFile(request, storage);
    co_return co_await sendInChunks(request, storage);
}

bool completionUrlFits(qsizetype chunkCount, const std::optional<QUrl> &completeUploadUrl)
{
    if (chunkCount == 1)
        return true;
    if (!completeUploadUrl) {
        print(QStringLiteral("❌ No completion URL for the multipart upload"));
        return false;
    }
    if (!isStorageUrl(*completeUploadUrl)) {
        print(QStringLiteral("❌ Invalid completion URL: ")
              + Diagnostics::redactedUrl(completeUploadUrl->toString(QUrl::FullyEncoded)));
        return false;
    }
    return true;
}

QCoro::Task<bool> uploadFileSequentially(QUrl fileURL, qint64 chunkSize,
                                         QList<PresignedChunkUrl> presignedChunkUrls,
                                         std::optional<QUrl> completeUploadUrl,
                                         std::function<void(const QString &)> onMessage,
                                         CancellationToken *cancellation)
{
    const QPointer<CancellationToken> token = cancellation;
    FileTransfer request;
    if (!completionUrlFits(presignedChunkUrls.size(), completeUploadUrl))
        co_return false;
    request.completeUploadUrl = completeUploadUrl.value_or(QUrl());
    request.file = std::make_shared<QFile>(fileURL.toLocalFile());
    // Every worker task is started outside its co_await: GCC 12 destroys the captures of a
    // lambda written inside a co_await expression twice.
    QFuture<std::pair<bool, qint64>> opening =
            StorageClient::workerThreads().run([file = request.file] { return openAndMeasure(file); });
    StorageClient storage; // set up while the file opens
    const std::pair<bool, qint64> opened = co_await opening;
    if (!opened.first)
        request.file.reset();
    request.fileSize = opened.second;
    request.chunkSize = chunkSize;
    request.chunkUrls = std::move(presignedChunkUrls);
    request.onMessage = std::move(onMessage);
    request.cancellation = token;
    const FileTransferOutcome outcome = co_await transferFile(std::move(request), storage);
    co_return outcome.stored;
}
