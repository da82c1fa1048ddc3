#pragma once

#include "TestHttpServer.h"

#include <QMap>
#include <QString>

// The service and the object storage an upload talks to, scripted on one TestHttpServer.
// The n-th upload session handed out (counted from 0) stores its parts under /store/<n>/ and
// names "https://bucket.test/object-<n>" as its storage URL.
class UploadBackend
{
public:
    static inline const QString sessionPath = QStringLiteral("/api/upload-app/direct-file-upload-sas-2");
    static inline const QString libraryPath = QStringLiteral("/api/upload-app/submit-library-data");

    explicit UploadBackend(TestHttpServer &server);

    QString apiBaseUrl() const;
    static QString storageUrl(int session);
    static QString partPath(int session, int chunkId);

    // Sessions hand out one presigned URL (the single-request path) unless set here.
    QMap<int, int> chunkCounts;
    qint64 chunkSize = 10;
    QMap<int, QString> completeUploadUrls;
    // Answers by request path, in place of the regular ones.
    QMap<QString, ScriptedResponse> overrides;
    QByteArray libraryAnswer;

    QList<RecordedRequest> requestsTo(const QString &path) const;
    // The "uniqueFileName" of each session request, in order.
    QStringList sessionFileNames() const;
    // The bytes storage received for a session, its parts joined in part order.
    QByteArray storedBytes(int session) const;
    bool wasCompleted(int session) const;

private:
    ScriptedResponse answer(const RecordedRequest &head);

    TestHttpServer &m_server;
    int m_sessionsHandedOut = 0;
};

// The fields of a multipart/form-data body, in order.
QList<QPair<QString, QString>> formFields(const RecordedRequest &request);
QStringList formFieldNames(const RecordedRequest &request);
QString formField(const RecordedRequest &request, const QString &name);
