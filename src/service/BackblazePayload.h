#pragma once

#include "PresignedChunkUrl.h"
#include "Result.h"

#include <QList>

// The upload session the service hands out for one file. Keys are camelCase, equal to the
// field names; all are required.
struct BackblazePayload
{
    QString uploadId;
    QString key;
    qint64 chunkSize = 0;
    QString bbUrl;
    QString completeUploadUrl;
    QList<PresignedChunkUrl> presignedChunkUrls;

    // The error describes the first key that is missing or of the wrong type, or why the
    // text is not JSON.
    static Result<BackblazePayload> decode(const QByteArray &json);
    // The same keys again: decode(toJson()) gives back an equal session.
    QByteArray toJson() const;

    friend bool operator==(const BackblazePayload &, const BackblazePayload &) = default;
};
