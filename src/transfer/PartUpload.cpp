#include "PartUpload.h"

#include "AsyncSleep.h"
#include "CancellationToken.h"
#include "Diagnostics.h"
#include "StorageClient.h"

#include <QPointer>
#include <QStringDecoder>
#include <QUrl>

#include <cmath>
#include <tuple>

namespace {
// Storage answers a PUT with headers; a larger body is not worth holding.
constexpr qint64 maxStorageAnswerBytes = 64 * 1024;

using ReportProgress = std::function<void()>;

// 2^(attempt-1) x 0.5 s, saturated instead of overflowing for absurd attempt counts.
std::chrono::nanoseconds retryWait(qint64 attempt)
{
    constexpr qint64 firstWait = 500'000'000;
    constexpr qint64 lastDoublingThatFits = 34;
    if (attempt - 1 > lastDoublingThatFits)
        return std::chrono::nanoseconds::max();
    return std::chrono::nanoseconds(firstWait << (attempt - 1));
}

Result<QString> storedPartETag(const Result<HttpResponse> &sent)
{
    if (!sent)
        return sent.error();
    const HttpResponse &response = sent.value();
    if (response.statusCode == 0)
        return Error::upload(2, QStringLiteral("Invalid HTTP response."));
    if (!response.isSuccess())
        return Error::upload(response.statusCode, QStringLiteral("HTTP ") + QString::number(response.statusCode))
                .withHttpStatus(response.statusCode);
    if (auto eTag = findETagHeader(response.headers))
        return *eTag;
    return Error::upload(1, QStringLiteral("Failed to retrieve the ETag from response headers."));
}

QCoro::Task<Result<CompletedPart>> putWithRetry(RequestBody data, qint64 partNumber, QString urlText,
                                                qint64 maxRetries, ReportProgress reportProgress,
                                                StorageClient &storage, CancellationToken *cancellation)
{
    const QPointer<CancellationToken> token = cancellation;
    const QUrl url(urlText, QUrl::StrictMode);
    if (!isStorageUrl(url))
        co_return Error::badUrl(urlText);

    const QString part = QString::number(partNumber);
    for (qint64 attempt = 1;; ++attempt) {
        StorageRequest request{"PUT", url,
                               {{"Content-Type", "application/octet-stream"},
                                {"Content-Length", QByteArray::number(data.size())}},
                               data, maxStorageAnswerBytes};
        const Result<HttpResponse> sent = co_await storage.send(std::move(request), token);
        const Result<QString> eTag = storedPartETag(sent);
        if (eTag) {
            Diagnostics::printLine(QStringLiteral("📋 Part ") + part + QStringLiteral(" ETag: ") + eTag.value());
            reportProgress();
            if (attempt >= 2) {
                Diagnostics::printLine(QStringLiteral("✅ Upload succeeded on retry ") + QString::number(attempt)
                                       + QStringLiteral(" for part ") + part);
            }
            co_return CompletedPart{partNumber, eTag.value()};
        }
        Diagnostics::printLine(QStringLiteral("⚠️ Upload attempt ") + QString::number(attempt)
                               + QStringLiteral(" failed for part ") + part + QStringLiteral(": ")
                               + eTag.error().description());
        if (attempt >= maxRetries)
            co_return eTag.error();
        // A wait cut short by cancellation is no failure of its own: the next attempt then
        // fails at once with the cancellation error.
        std::ignore = co_await AsyncSleep::sleep(retryWait(attempt), token);
    }
}
}

QCoro::Task<Result<CompletedPart>> uploadPartWithRetry(RequestBody data, qint64 partNumber, QString url,
                                                       qint64 maxRetries, qint64 &uploadedBytes,
                                                       qint64 totalBytes, UploadMessageCallback onMessage,
                                                       StorageClient &storage, CancellationToken *cancellation)
{
    const qint64 byteCount = data.size();
    ReportProgress report = [byteCount, &uploadedBytes, totalBytes, onMessage = std::move(onMessage)] {
        addUploadedBytes(byteCount, uploadedBytes, totalBytes, onMessage);
    };
    co_return co_await putWithRetry(std::move(data), partNumber, std::move(url), maxRetries, std::move(report),
                                    storage, cancellation);
}

QCoro::Task<Result<CompletedPart>> uploadSinglePartWithRetry(RequestBody data, qint64 partNumber, QString url,
                                                             qint64 maxRetries, qint64 totalBytes,
                                                             UploadMessageCallback onMessage,
                                                             StorageClient &storage,
                                                             CancellationToken *cancellation)
{
    const qint64 byteCount = data.size();
    ReportProgress report = [byteCount, totalBytes, onMessage = std::move(onMessage)] {
        reportUploadProgress(byteCount, totalBytes, onMessage);
    };
    co_return co_await putWithRetry(std::move(data), partNumber, std::move(url), maxRetries, std::move(report),
                                    storage, cancellation);
}

void addUploadedBytes(qint64 bytes, qint64 &uploadedBytes, qint64 totalBytes,
                      const UploadMessageCallback &onMessage)
{
    uploadedBytes += bytes;
    reportUploadProgress(uploadedBytes, totalBytes, onMessage);
}

void reportUploadProgress(qint64 bytes, qint64 totalBytes, const UploadMessageCallback &onMessage)
{
    const qint64 percentage = totalBytes > 0 ? std::llround(double(bytes) / double(totalBytes) * 100.0) : 100;
    onMessage(QStringLiteral("Uploaded (") + QString::number(percentage) + QStringLiteral("%)"));
}

std::optional<QString> findETagHeader(const QList<HttpResponse::Header> &headers)
{
    for (const auto &[name, value] : headers) {
        if (name.compare("etag", Qt::CaseInsensitive) != 0)
            continue;
        QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
        QString text = utf8(value);
        if (utf8.hasError())
            return std::nullopt;
        return text;
    }
    return std::nullopt;
}

bool isStorageUrl(const QUrl &url)
{
    const QString scheme = url.scheme();
    return url.isValid() && (scheme == u"http" || scheme == u"https") && !url.host().isEmpty();
}
