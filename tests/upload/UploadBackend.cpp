#include "UploadBackend.h"

#include "ServiceFixtures.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

UploadBackend::UploadBackend(TestHttpServer &server)
    : m_server(server)
{
    m_server.setHandler([this](const RecordedRequest &head) {
        const QString path = head.path();
        if (overrides.contains(path))
            return overrides.value(path);
        if (path == sessionPath) {
            const int session = m_sessionsHandedOut++;
            QJsonArray chunks;
            for (int id = 1; id <= chunkCounts.value(session, 1); ++id)
                chunks.append(QJsonObject{{"url", m_server.url(partPath(session, id)).toString()}, {"chunkId", id}});
            const QString completion = m_server.url(QStringLiteral("/store/%1/complete").arg(session)).toString();
            const QJsonObject payload{{"uploadId", "upload"}, {"key", "object"}, {"chunkSize", 10},
                                      {"bbUrl", QStringLiteral("https://bucket.test/object-%1").arg(session)},
                                      {"completeUploadUrl", completeUploadUrl.isEmpty() ? completion : completeUploadUrl},
                                      {"presignedChunkUrls", chunks}};
            return ScriptedResponse::json(200, QJsonDocument(payload).toJson());
        }
        if (path == libraryPath)
            return ScriptedResponse::json(200, ServiceFixtures::libraryEntryJson());
        if (path.contains(u"/part/"))
            return ScriptedResponse::withETag('"' + path.toUtf8() + '"');
        return ScriptedResponse{};
    });
}

QString UploadBackend::partPath(int session, int chunkId)
{
    return QStringLiteral("/store/%1/part/%2").arg(session).arg(chunkId);
}

QList<RecordedRequest> UploadBackend::requestsTo(const QString &path) const
{
    QList<RecordedRequest> matching;
    for (const RecordedRequest &request : m_server.requests()) {
        if (request.path() == path)
            matching.append(request);
    }
    return matching;
}

QStringList UploadBackend::sessionRequests() const
{
    QStringList sessions;
    for (const RecordedRequest &request : requestsTo(sessionPath)) {
        const QStringList fields = formFields(request);
        sessions.append(QStringLiteral("%1 (%2)").arg(fields.value(0).section(u'=', 1), fields.value(1).section(u'=', 1)));
    }
    return sessions;
}

QStringList formFields(const RecordedRequest &request)
{
    static const QRegularExpression field(QStringLiteral("name=\"([^\"]*)\"\r\n\r\n(.*?)\r\n--"),
                                          QRegularExpression::DotMatchesEverythingOption);
    QStringList fields;
    for (const QRegularExpressionMatch &match : field.globalMatch(QString::fromUtf8(request.body)))
        fields.append(match.captured(1) + u'=' + match.captured(2));
    return fields;
}
