#include "APIService.h"

#include "BuildConfig.h"
#include "Diagnostics.h"
#include "FileFormat.h"
#include "FormEncoding.h"
#include "HttpClient.h"
#include "JsonField.h"
#include "ServiceErrors.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace {
const QByteArray apiKeyHeader = "X-VELLUMCAST-APPKEY";

// The body as a JSON object or array; anything else is a parser error with its description.
Result<QJsonDocument> parseAnswer(const HttpResponse &response)
{
    if (response.bodyTooLarge) {
        return Error::decoding(QStringLiteral("the answer is larger than %1 bytes")
                                   .arg(APIService::maxAnswerBytes));
    }
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(response.body, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        return Error::decoding(
            QStringLiteral("%1 at offset %2").arg(parseError.errorString()).arg(parseError.offset));
    }
    if (!document.isObject() && !document.isArray())
        return Error::decoding(QStringLiteral("the top-level value is not an object or an array"));
    return document;
}

void printDeserializingError(const QString &text)
{
    Diagnostics::printLine(QStringLiteral("Error deserializing JSON: ") + text);
}

QNetworkRequest formRequest(const QUrl &url, const QString &apiKey, const QString &boundary)
{
    QNetworkRequest request = HttpClient::makeRequest(url);
    request.setRawHeader(apiKeyHeader, apiKey.toUtf8());
    request.setRawHeader("Content-Type", FormEncoding::contentType(boundary));
    return request;
}
}

APIService::APIService(QString baseUrl)
    : BASE_URL(std::move(baseUrl))
{
}

APIService::APIService()
    : APIService(QString::fromUtf8(BuildConfig::apiBaseUrl))
{
}

std::optional<QUrl> APIService::endpoint(const QString &path) const
{
    const QUrl url(BASE_URL + path, QUrl::StrictMode);
    if (!url.isValid() || url.isRelative() || url.host().isEmpty())
        return std::nullopt;
    return url;
}

QCoro::Task<Result<APIService::StartupInformation>> APIService::pullStartupInformation(
    QString apiKey, CancellationToken *cancellation) const
{
    const auto url = endpoint(QStringLiteral("/upload-app/pull-startup-information"));
    if (!url)
        co_return toError(APIServiceError::invalidURL);

    QNetworkRequest request = HttpClient::makeRequest(*url);
    request.setRawHeader(apiKeyHeader, apiKey.toUtf8());
    auto sent = co_await HttpClient::send(request, "GET", QByteArray(), cancellation, maxAnswerBytes);
    if (!sent)
        co_return sent.error();
    const HttpResponse &response = sent.value();

    const Error unreadable = toError(APIServiceError::invalidURL).withHttpStatus(response.statusCode);
    const auto document = parseAnswer(response);
    if (!document) {
        printDeserializingError(document.error().description());
        co_return unreadable;
    }
    if (!document.value().isObject())
        co_return StartupInformation{std::nullopt, response.statusCode};
    auto workspace = Workspace::fromJson(document.value().object());
    if (!workspace) {
        printDeserializingError(caseName(NoWorkspaceDataError::noData));
        co_return unreadable.withJsonAnswer();
    }
    co_return StartupInformation{std::move(workspace), response.statusCode};
}

QCoro::Task<Result<BackblazePayload>> APIService::requestUploadSession(
    QString apiKey, QString uniqueFileName, qint64 fileSize, CancellationToken *cancellation) const
{
    Diagnostics::printLine(QStringLiteral("Fetching upload session"));
    const auto url = endpoint(QStringLiteral("/upload-app/direct-file-upload-sas-2"));
    if (!url)
        co_return toError(APIServiceError::invalidURL);

    const QString boundary = FormEncoding::makeFormBoundary();
    QByteArray body;
    FormEncoding::appendFormField(QStringLiteral("uniqueFileName"), uniqueFileName, boundary, body);
    FormEncoding::appendFormField(QStringLiteral("fileSize"), QString::number(fileSize), boundary, body);
    FormEncoding::appendClosingLine(boundary, body);

    auto sent = co_await HttpClient::send(formRequest(*url, apiKey, boundary), "POST", body,
                                          cancellation, maxAnswerBytes);
    if (!sent)
        co_return sent.error();
    Diagnostics::printLine(QStringLiteral("Returned from the API call"));
    if (sent.value().bodyTooLarge) {
        co_return Error::decoding(QStringLiteral("The upload session is larger than %1 bytes.")
                                      .arg(maxAnswerBytes));
    }
    co_return BackblazePayload::decode(sent.value().body);
}

QCoro::Task<Result<LibraryEntry>> APIService::submitLibraryData(
    QString apiKey, QString uploadedUrl, std::optional<QString> uploadedUrlRight,
    QString fileFormat, bool is3D, qint64 perspective, QString videoName,
    std::optional<QString> aimeUrl, std::optional<QString> fcpxmlUrl,
    CancellationToken *cancellation) const
{
    const auto url = endpoint(QStringLiteral("/upload-app/submit-library-data"));
    if (!url)
        co_return toError(APIServiceError::invalidURL);

    const QString boundary = FormEncoding::makeFormBoundary();
    const QString fileFormat3D = FileFormat::fileFormat3DValue(fileFormat);
    QByteArray body;
    const auto field = [&](const QString &name, const QString &value) {
        FormEncoding::appendFormField(name, value, boundary, body);
    };
    field(QStringLiteral("uploadedUrl"), uploadedUrl);
    if (uploadedUrlRight)
        field(QStringLiteral("uploadedUrlRight"), *uploadedUrlRight);
    field(QStringLiteral("fileFormat3D"), fileFormat3D);
    field(QStringLiteral("is3D"), is3D ? QStringLiteral("true") : QStringLiteral("false"));
    field(QStringLiteral("perspective"), QString::number(perspective));
    field(QStringLiteral("videoName"), videoName);
    if (aimeUrl)
        field(QStringLiteral("aimeUrl"), *aimeUrl);
    if (fcpxmlUrl)
        field(QStringLiteral("fcpxmlUrl"), *fcpxmlUrl);
    FormEncoding::appendClosingLine(boundary, body);

    auto sent = co_await HttpClient::send(formRequest(*url, apiKey, boundary), "POST", body,
                                          cancellation, maxAnswerBytes);
    if (!sent)
        co_return sent.error();

    const auto document = parseAnswer(sent.value());
    if (!document) {
        printDeserializingError(document.error().description());
        co_return toError(LibraryDataError::insertError);
    }
    if (!document.value().isObject()) {
        Diagnostics::printLine(QStringLiteral("Did not return the data correctly"));
        co_return toError(LibraryDataError::noData);
    }
    auto entry = LibraryEntry::fromJson(document.value().object(), fileFormat3D);
    if (!entry) {
        printDeserializingError(caseName(LibraryDataError::noData));
        const Error refused = toError(LibraryDataError::insertError);
        // A refusal that says why lets the user correct the form and send the entry again.
        const auto reason = JsonField::string(document.value().object().value(QStringLiteral("error")));
        if (reason && !reason->trimmed().isEmpty())
            co_return Error(refused.domain(), refused.code(), *reason);
        co_return refused;
    }
    co_return *entry;
}
