#include "SinkSession.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

QByteArray sessionJson(const BackblazePayload &session)
{
    QJsonArray urls;
    for (const PresignedChunkUrl &chunk : session.presignedChunkUrls)
        urls.append(QJsonObject{{QStringLiteral("url"), chunk.url}, {QStringLiteral("chunkId"), chunk.chunkId}});
    return QJsonDocument(QJsonObject{
                                 {QStringLiteral("uploadId"), session.uploadId},
                                 {QStringLiteral("key"), session.key},
                                 {QStringLiteral("chunkSize"), session.chunkSize},
                                 {QStringLiteral("bbUrl"), session.bbUrl},
                                 {QStringLiteral("completeUploadUrl"), session.completeUploadUrl},
                                 {QStringLiteral("presignedChunkUrls"), urls},
                         })
            .toJson(QJsonDocument::Compact);
}

BackblazePayload sinkSession(const QString &sinkUrl, const QString &name, qint64 bytes, qint64 partSize)
{
    BackblazePayload session;
    session.uploadId = QStringLiteral("bench");
    session.key = name;
    session.bbUrl = sinkUrl + QStringLiteral("/bench/") + name;
    if (partSize == 0) {
        session.chunkSize = bytes;
        session.completeUploadUrl = session.bbUrl;
        session.presignedChunkUrls = {{session.bbUrl, 1}};
        return session;
    }
    session.chunkSize = partSize;
    session.completeUploadUrl = session.bbUrl + QStringLiteral("?uploadId=bench");
    for (qint64 part = 1; (part - 1) * partSize < bytes; ++part) {
        session.presignedChunkUrls.append(
                {session.bbUrl + QStringLiteral("?partNumber=%1&uploadId=bench").arg(part), part});
    }
    return session;
}
