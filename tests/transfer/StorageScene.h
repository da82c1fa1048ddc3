#pragma once

#include "PresignedChunkUrl.h"
#include "TestHttpServer.h"
#include "TransferTestSupport.h"

#include <QFile>
#include <QTemporaryDir>

#include <memory>

namespace TransferTest {

inline const QByteArray twentyFiveBytes = "ABCDEFGHIJKLMNOPQRSTUVWXY";

// The completion document for parts whose ETags are "etag-N" with their quotes.
inline QString documentFor(const QList<qint64> &partNumbers)
{
    QString parts;
    for (const qint64 part : partNumbers)
        parts += QStringLiteral("<Part>\n   <ETag>\"etag-%1\"</ETag>\n   <PartNumber>%1</PartNumber>\n</Part>").arg(part);
    return "<CompleteMultipartUpload xmlns=\"http://s3.amazonaws.com/doc/2006-03-01/\">\n" + parts
            + "\n</CompleteMultipartUpload>";
}

inline qint64 partNumberOf(const RecordedRequest &request)
{
    return request.query().queryItemValue("partNumber").toLongLong();
}

inline ScriptedResponse storePart(const RecordedRequest &head)
{
    return ScriptedResponse::withETag("\"etag-" + QByteArray::number(partNumberOf(head)) + '"');
}

// A bucket on a test server that stores every part as "etag-N" and accepts every completion,
// and a folder for the file to send; start() and stop() around each test.
class StorageScene
{
protected:
    TestHttpServer *server = nullptr;
    std::unique_ptr<QTemporaryDir> dir;

    bool start()
    {
        server = new TestHttpServer;
        server->setHandler(
                [](const RecordedRequest &head) { return head.method == "PUT" ? storePart(head) : answer(200); });
        dir = std::make_unique<QTemporaryDir>();
        return server->listen() && dir->isValid();
    }

    void stop()
    {
        delete server;
        server = nullptr;
        dir.reset();
    }

    QString partUrl(qint64 partNumber, const QString &host = QStringLiteral("127.0.0.1")) const
    {
        return "http://" + host + u':' + QString::number(server->port()) + "/bucket/movie.mov?partNumber="
                + QString::number(partNumber) + "&uploadId=u%2B1&X-Amz-Signature=ab%2Fcd";
    }

    QList<PresignedChunkUrl> chunkUrls(const QList<qint64> &chunkIds) const
    {
        QList<PresignedChunkUrl> urls;
        for (const qint64 chunkId : chunkIds)
            urls.append({partUrl(chunkId), chunkId});
        return urls;
    }

    QUrl completeUrl() const { return server->url("/bucket/movie.mov?uploadId=u%2B1&X-Amz-Signature=ef%2Fgh"); }

    QString writeFile(const QByteArray &contents) const
    {
        const QString path = dir->filePath("movie.mov");
        QFile file(path);
        return file.open(QIODevice::WriteOnly) && file.write(contents) == contents.size() ? path : QString();
    }

    QList<RecordedRequest> requestsWithMethod(const QByteArray &method) const
    {
        QList<RecordedRequest> matching;
        for (const RecordedRequest &request : server->requests()) {
            if (request.method == method)
                matching.append(request);
        }
        return matching;
    }
};

}
