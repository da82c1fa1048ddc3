#include "UploadDriver.h"

#include "CancellationToken.h"
#include "Diagnostics.h"
#include "PartUpload.h"
#include "StorageClient.h"
#include "UploadCompletion.h"

#include <QCoro/QCoroFuture>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QtConcurrent>

#include <algorithm>

namespace {
void print(const QString &line)
{
    Diagnostics::printLine(line);
}

QString number(qint64 value)
{
    return QString::number(value);
}

// Open for the whole run and read with pread by the storage client's worker; null when the
// file cannot be opened.
QCoro::Task<std::shared_ptr<QFile>> openForReading(QString path)
{
    auto file = std::make_shared<QFile>(path);
    QFuture<bool> opening = QtConcurrent::run([file] { return file->open(QIODevice::ReadOnly | QIODevice::Unbuffered); });
    const bool opened = co_await opening;
    co_return opened ? file : nullptr;
}

// The bytes of `length` from `offset` that the file still holds (at most `length`, none for a
// length of 0 or less).
QCoro::Task<qint64> readableLength(std::shared_ptr<QFile> file, qint64 offset, qint64 length)
{
    QFuture<qint64> sizing = QtConcurrent::run([file] { return file->size(); });
    const qint64 fileSizeNow = co_await sizing;
    co_return std::clamp<qint64>(fileSizeNow - offset, 0, std::max<qint64>(length, 0));
}

// The file streams from disk in one PUT rather than being read into memory first.
QCoro::Task<bool> uploadWholeFile(QString path, qint64 fileSize, PresignedChunkUrl target,
                                  UploadMessageCallback onMessage, StorageClient &storage,
                                  CancellationToken *cancellation)
{
    const QPointer<CancellationToken> token = cancellation;
    const std::shared_ptr<QFile> file = co_await openForReading(path);
    if (!file) {
        print(QStringLiteral("❌ Failed to read file data"));
        co_return false;
    }
    const auto part = co_await uploadSinglePartWithRetry(RequestBody::fromFile(file, 0, fileSize), 1, target.url,
                                                         partUploadAttempts, fileSize, std::move(onMessage),
                                                         storage, token);
    if (!part) {
        print(QStringLiteral("❌ Single upload failed: ") + part.error().description());
        co_return false;
    }
    print(QStringLiteral("✅ Single upload successful"));
    co_return true;
}

// Checks that need no disk access and catch a session that cannot store the file intact.
bool sessionFitsFile(qint64 fileSize, qint64 chunkSize, qint64 totalChunks)
{
    if (chunkSize <= 0) {
        print(QStringLiteral("❌ Invalid chunk size: ") + number(chunkSize));
        return false;
    }
    const qint64 chunksNeeded = fileSize > 0 ? (fileSize - 1) / chunkSize + 1 : 0;
    if (chunksNeeded > totalChunks) {
        print(QStringLiteral("❌ The presigned chunks cannot hold the whole file: ") + number(totalChunks)
              + QStringLiteral(" chunks of ") + number(chunkSize) + QStringLiteral(" bytes for ")
              + number(fileSize) + QStringLiteral(" bytes"));
        return false;
    }
    return true;
}

QCoro::Task<bool> uploadInChunks(QString path, qint64 fileSize, qint64 chunkSize,
                                 QList<PresignedChunkUrl> chunkUrls, std::optional<QUrl> completeUploadUrl,
                                 UploadMessageCallback onMessage, StorageClient &storage,
                                 CancellationToken *cancellation)
{
    const QPointer<CancellationToken> token = cancellation;
    if (!completeUploadUrl) {
        print(QStringLiteral("❌ No completion URL for the multipart upload"));
        co_return false;
    }
    const QUrl completionUrl = *completeUploadUrl;
    if (!isStorageUrl(completionUrl)) {
        print(QStringLiteral("❌ Invalid completion URL: ") + Diagnostics::redactedUrl(completionUrl.toString(QUrl::FullyEncoded)));
        co_return false;
    }
    print(QStringLiteral("Starting sequential upload with complete url: ")
          + Diagnostics::redactedUrl(completionUrl.toString(QUrl::FullyEncoded)));

    std::stable_sort(chunkUrls.begin(), chunkUrls.end(),
                     [](const PresignedChunkUrl &a, const PresignedChunkUrl &b) { return a.chunkId < b.chunkId; });
    const qint64 totalChunks = chunkUrls.size();
    print(QStringLiteral("📊 File size: ") + number(fileSize) + QStringLiteral(" bytes, Total chunks: ")
          + number(totalChunks) + QStringLiteral(", Chunk size: ") + number(chunkSize));
    if (!sessionFitsFile(fileSize, chunkSize, totalChunks))
        co_return false;

    qint64 uploadedBytes = 0;
    const std::shared_ptr<QFile> file = co_await openForReading(path);
    if (!file) {
        print(QStringLiteral("❌ Failed to open file"));
        co_return false;
    }

    QList<CompletedPart> completedParts;
    for (qint64 index = 0; index < totalChunks; ++index) {
        const PresignedChunkUrl &entry = chunkUrls.at(index);
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
            print(QStringLiteral("❌ Read chunk size mismatch: expected ") + number(size) + QStringLiteral(", got ")
                  + number(readable));
            co_return false;
        }
        const auto part = co_await uploadPartWithRetry(RequestBody::fromFile(file, offset, size), entry.chunkId,
                                                       entry.url, partUploadAttempts, uploadedBytes, fileSize,
                                                       onMessage, storage, token);
        if (!part) {
            print(QStringLiteral("❌ Upload failed for chunk ") + chunkId + QStringLiteral(": ")
                  + part.error().description());
            co_return false;
        }
        completedParts.append(part.value());
    }

    print(QStringLiteral("📋 All chunks uploaded. Total completed parts: ") + number(completedParts.size()));
    const Result<void> finalized = co_await finalizeUpload(completedParts, completionUrl, storage, token);
    if (!finalized) {
        print(QStringLiteral("❌ Error finalizing upload: ") + finalized.error().fullDescription());
        co_return false;
    }
    print(QStringLiteral("✅ Finalization successful!"));
    co_return true;
}
}

QCoro::Task<bool> uploadFileSequentially(QUrl fileURL, qint64 chunkSize,
                                         QList<PresignedChunkUrl> presignedChunkUrls,
                                         std::optional<QUrl> completeUploadUrl,
                                         std::function<void(const QString &)> onMessage,
                                         CancellationToken *cancellation)
{
    const QPointer<CancellationToken> token = cancellation;
    const QString path = fileURL.toLocalFile();
    // An unreadable or missing file counts as empty; opening it then fails. Every worker task
    // is started outside its co_await: GCC 12 destroys the captures of a lambda written inside
    // a co_await expression twice.
    QFuture<qint64> sizing = QtConcurrent::run([path] { return QFileInfo(path).size(); });
    const qint64 fileSize = co_await sizing;
    // One connection for every request of the file: the parts, then the completion.
    StorageClient storage;
    if (presignedChunkUrls.size() == 1) {
        co_return co_await uploadWholeFile(path, fileSize, presignedChunkUrls.first(), std::move(onMessage),
                                           storage, token);
    }
    co_return co_await uploadInChunks(path, fileSize, chunkSize, std::move(presignedChunkUrls),
                                      std::move(completeUploadUrl), std::move(onMessage), storage, token);
}
