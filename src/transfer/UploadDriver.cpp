#include "UploadDriver.h"

#include "CancellationToken.h"
#include "Diagnostics.h"
#include "FileRange.h"
#include "FileStreamDevice.h"
#include "PartUpload.h"
#include "UploadCompletion.h"

#include <QCoro/QCoroFuture>
#include <QCoro/QCoroTimer>
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

QCoro::Task<bool> uploadWholeFile(QString path, qint64 fileSize, PresignedChunkUrl target,
                                  UploadMessageCallback onMessage, CancellationToken *cancellation)
{
    const QPointer<CancellationToken> token = cancellation;
    const std::unique_ptr<FileStreamDevice> body = co_await FileStreamDevice::openFile(path);
    if (!body) {
        print(QStringLiteral("❌ Failed to read file data"));
        co_return false;
    }
    const auto part = co_await uploadSinglePartWithRetry(body.get(), 1, target.url, partUploadAttempts,
                                                         fileSize, std::move(onMessage), token);
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
                                 UploadMessageCallback onMessage, CancellationToken *cancellation)
{
    const QPointer<CancellationToken> token = cancellation;
    if (!completeUploadUrl) {
        print(QStringLiteral("❌ No completion URL for the multipart upload"));
        co_return false;
    }
    const QUrl completionUrl = *completeUploadUrl;
    if (!isStorageUrl(completionUrl)) {
        print(QStringLiteral("❌ Invalid completion URL: ") + completionUrl.toString(QUrl::FullyEncoded));
        co_return false;
    }
    print(QStringLiteral("Starting sequential upload with complete url: ")
          + completionUrl.toString(QUrl::FullyEncoded));

    std::stable_sort(chunkUrls.begin(), chunkUrls.end(),
                     [](const PresignedChunkUrl &a, const PresignedChunkUrl &b) { return a.chunkId < b.chunkId; });
    const qint64 totalChunks = chunkUrls.size();
    print(QStringLiteral("📊 File size: ") + number(fileSize) + QStringLiteral(" bytes, Total chunks: ")
          + number(totalChunks) + QStringLiteral(", Chunk size: ") + number(chunkSize));
    if (!sessionFitsFile(fileSize, chunkSize, totalChunks))
        co_return false;

    qint64 uploadedBytes = 0;
    // Only touched by the one worker read awaited at a time; closed when the run ends.
    QFile file(path);
    QFuture<bool> opening = QtConcurrent::run([&file] { return file.open(QIODevice::ReadOnly | QIODevice::Unbuffered); });
    const bool opened = co_await opening;
    if (!opened) {
        print(QStringLiteral("❌ Failed to open file"));
        co_return false;
    }

    QList<CompletedPart> completedParts;
    // Every chunk is read into this one buffer: the part upload shares it and lets go of it
    // once the part is stored. Reading the next chunk while this one goes up would hold two
    // chunks and, on a machine with few cores, take the CPU and memory bandwidth the sending
    // needs: it measured slower.
    QByteArray chunkStorage;
    for (qint64 index = 0; index < totalChunks; ++index) {
        const PresignedChunkUrl &entry = chunkUrls.at(index);
        const QString chunkId = number(entry.chunkId);
        const qint64 offset = index * chunkSize;
        const qint64 size = std::min(chunkSize, fileSize - offset);
        print(QStringLiteral("📤 Uploading chunk ") + chunkId + QStringLiteral("/") + number(totalChunks)
              + QStringLiteral(" (offset: ") + number(offset) + QStringLiteral(", size: ") + number(size)
              + QStringLiteral(")"));

        // The coroutines of the part just stored still share the buffer until they unwind,
        // which they do once this one waits: one turn of the event loop spares a fresh buffer.
        if (index > 0)
            co_await QCoro::sleepFor(std::chrono::milliseconds(0));
        QFuture<Result<QByteArray>> reading =
                QtConcurrent::run([&file, offset, size, storage = std::move(chunkStorage)]() mutable {
                    return readFileRange(file, offset, size, std::move(storage));
                });
        auto chunk = co_await reading;
        if (!chunk) {
            print(QStringLiteral("❌ Upload failed for chunk ") + chunkId + QStringLiteral(": ")
                  + chunk.error().description());
            co_return false;
        }
        if (chunk.value().size() != size) {
            print(QStringLiteral("❌ Read chunk size mismatch: expected ") + number(size) + QStringLiteral(", got ")
                  + number(chunk.value().size()));
            co_return false;
        }
        chunkStorage = chunk.value();
        const auto part = co_await uploadPartWithRetry(std::move(chunk).value(), entry.chunkId, entry.url,
                                                       partUploadAttempts, uploadedBytes, fileSize, onMessage,
                                                       token);
        if (!part) {
            print(QStringLiteral("❌ Upload failed for chunk ") + chunkId + QStringLiteral(": ")
                  + part.error().description());
            co_return false;
        }
        completedParts.append(part.value());
    }

    print(QStringLiteral("📋 All chunks uploaded. Total completed parts: ") + number(completedParts.size()));
    const Result<void> finalized = co_await finalizeUpload(completedParts, completionUrl, token);
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
    if (presignedChunkUrls.size() == 1) {
        co_return co_await uploadWholeFile(path, fileSize, presignedChunkUrls.first(), std::move(onMessage),
                                           token);
    }
    co_return co_await uploadInChunks(path, fileSize, chunkSize, std::move(presignedChunkUrls),
                                      std::move(completeUploadUrl), std::move(onMessage), token);
}
