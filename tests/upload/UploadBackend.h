#pragma once

#include "TestHttpServer.h"

#include <QMap>
#include <QStringList>

// The service, under /api, and the object storage an upload talks to, scripted on one
// TestHttpServer. The n-th upload session handed out (counted from 0) stores its parts of 10
// bytes under /store/<n>/ and names "https://bucket.test/object-<n>" as its storage URL.
class UploadBackend
{
public:
    static inline const QString sessionPath = QStringLiteral("/api/upload-app/direct-file-upload-sas-2");
    static inline const QString libraryPath = QStringLiteral("/api/upload-app/submit-library-data");

    explicit UploadBackend(TestHttpServer &server);

    static QString partPath(int session, int chunkId);

    // Sessions hand out one presigned URL (the single-request path) unless set here.
    QMap<int, int> chunkCounts;
    // In place of every session's own completion URL, unless empty.
    QString completeUploadUrl;
    // Answers by request path, in place of the regular ones.
    QMap<QString, ScriptedResponse> overrides;

    QList<RecordedRequest> requestsTo(const QString &path) const;
    // Each session request as "<uniqueFileName> (<fileSize>)", in order.
    QStringList sessionRequests() const;

private:
    TestHttpServer &m_server;
    int m_sessionsHandedOut = 0;
};

// The fields of a multipart/form-data body as "name=value", in order.
QStringList formFields(const RecordedRequest &request);
