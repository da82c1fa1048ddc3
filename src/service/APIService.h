#pragma once

#include "BackblazePayload.h"
#include "LibraryEntry.h"
#include "Result.h"
#include "Workspace.h"

#include <QCoro/QCoroTask>

#include <optional>

class CancellationToken;

// Client of the service's three endpoints. Holds no state besides its base URL; the HTTP
// status of an answer is never looked at, only its body.
class APIService
{
public:
    // Answers larger than this are abandoned and read as unreadable.
    static constexpr qint64 maxAnswerBytes = 16 * 1024 * 1024;

    explicit APIService(QString baseUrl);
    // The base URL the application was built with.
    APIService();

    const QString BASE_URL;

    // No workspace (and no error) when the answer's top level is not an object.
    QCoro::Task<Result<std::optional<Workspace>>> pullStartupInformation(
        QString apiKey, CancellationToken *cancellation = nullptr) const;

    QCoro::Task<Result<BackblazePayload>> requestUploadSession(
        QString apiKey, QString uniqueFileName, qint64 fileSize,
        CancellationToken *cancellation = nullptr) const;

    QCoro::Task<Result<LibraryEntry>> submitLibraryData(
        QString apiKey, QString uploadedUrl, std::optional<QString> uploadedUrlRight,
        QString fileFormat, bool is3D, qint64 perspective, QString videoName,
        std::optional<QString> aimeUrl, std::optional<QString> fcpxmlUrl,
        CancellationToken *cancellation = nullptr) const;

private:
    std::optional<QUrl> endpoint(const QString &path) const;
};
