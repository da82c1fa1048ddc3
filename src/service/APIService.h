#pragma once

#include "BackblazePayload.h"
#include "LibraryEntry.h"
#include "Result.h"
#include "Workspace.h"

#include <QCoro/QCoroTask>

#include <optional>

class CancellationToken;

// Client of the service's three endpoints. Holds no state besides its base URL; an answer is
// read from its body alone, whatever its HTTP status.
class APIService
{
public:
    // The startup answer: the workspace when the body's top level is an object that holds one,
    // and the status it came with, which the caller may weigh.
    struct StartupInformation
    {
        std::optional<Workspace> workspace;
        int httpStatus = 0;
    };

    // Answers larger than this are abandoned and read as unreadable.
    static constexpr qint64 maxAnswerBytes = 16 * 1024 * 1024;

    explicit APIService(QString baseUrl);
    // The base URL the application was built with.
    APIService();

    const QString BASE_URL;

    // No workspace (and no error) when the answer's top level is not an object. An unreadable
    // answer fails with its status, and says whether it was JSON at all.
    QCoro::Task<Result<StartupInformation>> pullStartupInformation(
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
