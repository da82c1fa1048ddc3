#include "PartUpload.h"

#include "AsyncSleep.h"
#include "CancellationToken.h"
#include "Diagnostics.h"
#include "FileStreamDevice.h"
#include "HttpClient.h"

#include <QPointer>
#include <QStringDecoder>
#include <QUrl>

#include <cmath>
#include <tuple>

namespace {
// Storage answers a PUT with headers; a larger body is not worth holding.
constexpr qint64 maxStorageAnswerBytes = 64 * 1024;

using SendAttempt = std::function<QCoro::Task<Result<HttpResponse>>(QNetworkRequest)>;
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
        return Error::upload(response.statusCode, QStringLiteral("HTTP ") + QString::number(response.statusCode));
    if (auto eTag = findETagHeader(response.headers))
        return *eTag;
    return Error::upload(1, QStringLiteral("Failed to retrieve the ETag from response headers."));
}

QCoro::Task<Result<HttpResponse>> sendFile(QNetworkRequest request, FileStreamDevice *file,
                                           CancellationToken *cancellation)
{
    file->rewind();
    auto sent = co_await HttpClient::upload(std::move(request), "PUT", file, cancellation, maxStorageAnswerBytes);
    // The network layer only knows that the body ended early; the file knows why.
    if (!sent && file->readFailure())
        co_return *file->readFailure();
    co_return sent;
}

QCoro::Task<Result<CompletedPart>> putWithRetry(QString urlText, qint64 partNumber, qint64 byteCount,
                                                qint64 maxRetries, SendAttempt send,
                                                ReportProgress reportProgress, CancellationToken *cancellation)
{
    const QPointer<CancellationToken> token = cancellation;
    const QUrl url(urlText, QUrl::StrictMode);
    if (!isStorageUrl(url))
        co_return Error::badUrl(urlText);

    const QString part = QString::number(partNumber);
    for (qint64 attempt = 1;; ++attempt) {
        QNetworkRequest request = HttpClient::makeRequest(url);
        request.setRawHeader("Content-Type", "application/octet-stream");
        request.setRawHeader("Content-Length", QByteArray::number(byteCount));
        const Result<QString> eTag = storedPartETag(co_await send(request));
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

QCoro::Task<Result<CompletedPart>> uploadPartWithRetry(QByteArray data, qint64 partNumber, QString url,
                                                       qint64 maxRetries, qint64 &uploadedBytes,
                                                       qint64 totalBytes, UploadMessageCallback onMessage,
                                                       CancellationToken *cancellation)
{
    const qint64 byteCount = data.size();
    const QPointer<CancellationToken> token = cancellation;
    SendAttempt send = [data = std::move(data), token](QNetworkRequest request) {
        return HttpClient::upload(std::move(request), "PUT", data, token, maxStorageAnswerBytes);
    };
    ReportProgress report = [byteCount, &uploadedBytes, totalBytes, onMessage = std::move(onMessage)] {
        addUploadedBytes(byteCount, uploadedBytes, totalBytes, onMessage);
    };
    co_return co_await putWithRetry(std::move(url), partNumber, byteCount, maxRetries, std::move(send),
                                    std::move(report), token);
}

QCoro::Task<Result<CompletedPart>> uploadSinglePartWithRetry(FileStreamDevice *file, qint64 partNumber,
                                                             QString url, qint64 maxRetries,
                                                             qint64 totalBytes,
                                                             UploadMessageCallback onMessage,
                                                             CancellationToken *cancellation)
{
    const qint64 byteCount = file->size();
    const QPointer<CancellationToken> token = cancellation;
    SendAttempt send = [file, token](QNetworkRequest request) { return sendFile(std::move(request), file, token); };
    ReportProgress report = [byteCount, totalBytes, onMessage = std::move(onMessage)] {
        reportUploadProgress(byteCount, totalBytes, onMessage);
    };
    co_return co_await putWithRetry(std::move(url), partNumber, byteCount, maxRetries, std::move(send),
                                    std::move(report), token);
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

std::optional<QString> findETagHeader(const QList<QNetworkReply::RawHeaderPair> &headers)
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
