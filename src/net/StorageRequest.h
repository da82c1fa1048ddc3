#pragma once

#include "HttpResponse.h"
#include "RequestBody.h"

#include <QUrl>

// One request to object storage through a presigned URL.
struct StorageRequest
{
    static constexpr qint64 unlimited = -1;

    QByteArray method; // "PUT" or "POST"
    QUrl url;
    QList<HttpResponse::Header> headers;
    RequestBody body;
    // A longer answer body is abandoned (the answer then says bodyTooLarge).
    qint64 maxAnswerBytes = unlimited;
};
