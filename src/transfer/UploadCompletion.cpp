#include "UploadCompletion.h"

#include "AsyncSleep.h"
#include "CancellationToken.h"
#include "Diagnostics.h"
#include "StorageClient.h"

#include <QPointer>
#include <QXmlStreamReader>

#include <algorithm>

namespace {
const QString s3Namespace = QStringLiteral("http://s3.amazonaws.com/doc/2006-03-01/");
const QString refusedDescription = QStringLiteral("Server returned an error");
constexpr int completionRetries = 3;
constexpr std::chrono::nanoseconds completionRetryWait{2'000'000'000};
// A store keeps a slow completion alive by sending whitespace before its answer; anything
// beyond this is no completion answer at all.
constexpr qint64 maxCompletionAnswerBytes = 1024 * 1024;
}

QString completionDocument(const QList<CompletedPart> &completedParts)
{
    QList<CompletedPart> parts = completedParts;
    std::stable_sort(parts.begin(), parts.end(),
                     [](const CompletedPart &a, const CompletedPart &b) { return a.partId < b.partId; });
    QString elements;
    for (const CompletedPart &part : parts) {
        elements += QStringLiteral("<Part>\n   <ETag>") + part.eTag + QStringLiteral("</ETag>\n   <PartNumber>")
                + QString::number(part.partId) + QStringLiteral("</PartNumber>\n</Part>");
    }
    return QStringLiteral("<CompleteMultipartUpload xmlns=\"") + s3Namespace + QStringLiteral("\">\n") + elements
            + QStringLiteral("\n</CompleteMultipartUpload>");
}

std::optional<StoreError> findStoreError(const QByteArray &body)
{
    // Leading keep-alive whitespace would put the XML declaration out of place.
    QXmlStreamReader reader(body.trimmed());
    if (!reader.readNextStartElement() || reader.name() != u"Error")
        return std::nullopt;
    StoreError error;
    while (reader.readNextStartElement()) {
        if (reader.name() == u"Code")
            error.code = reader.readElementText(QXmlStreamReader::IncludeChildElements);
        else if (reader.name() == u"Message")
            error.message = reader.readElementText(QXmlStreamReader::IncludeChildElements);
        else
            reader.skipCurrentElement();
    }
    return error;
}

QCoro::Task<Result<void>> postCompleteMultipartUpload(QUrl completeUploadUrl, QString document,
                                                      StorageClient &storage, CancellationToken *cancellation)
{
    // Over the parts' own connection: no second connection, and no second TLS handshake.
    StorageRequest request{"POST", std::move(completeUploadUrl), {{"Content-Type", "application/xml"}},
                           RequestBody::fromBytes(document.toUtf8()), maxCompletionAnswerBytes};
    const auto sent = co_await storage.send(std::move(request), cancellation);
    if (!sent)
        co_return sent.error();
    const HttpResponse &response = sent.value();
    if (response.statusCode == 0)
        co_return Error::upload(-1, refusedDescription);
    if (!response.isSuccess() || response.bodyTooLarge)
        co_return Error::upload(response.statusCode, refusedDescription).withHttpStatus(response.statusCode);
    if (const auto refusal = findStoreError(response.body)) {
        co_return Error::upload(response.statusCode,
                                refusedDescription + QStringLiteral(": ") + refusal->code
                                        + QStringLiteral(": ") + refusal->message)
                .withHttpStatus(response.statusCode);
    }
    co_return Result<void>();
}

QCoro::Task<Result<void>> postCompletionWithRetry(QUrl completeUploadUrl, QString document, StorageClient &storage,
                                                  CancellationToken *cancellation)
{
    const QPointer<CancellationToken> token = cancellation;
    Result<void> posted = co_await postCompleteMultipartUpload(completeUploadUrl, document, storage, token);
    for (int remaining = completionRetries; !posted && remaining > 0; --remaining) {
        const Result<void> waited = co_await AsyncSleep::sleep(completionRetryWait, token);
        if (!waited)
            co_return waited.error();
        posted = co_await postCompleteMultipartUpload(completeUploadUrl, document, storage, token);
    }
    co_return posted;
}

QCoro::Task<Result<void>> finalizeUpload(QList<CompletedPart> completedParts, QUrl completeUploadUrl,
                                         StorageClient &storage, CancellationToken *cancellation)
{
    const QPointer<CancellationToken> token = cancellation;
    const QString document = completionDocument(completedParts);
    Diagnostics::printLine(document);
    co_return co_await postCompletionWithRetry(std::move(completeUploadUrl), document, storage, token);
}
