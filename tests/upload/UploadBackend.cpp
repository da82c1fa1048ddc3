#include "UploadBackend.h"

#include "ServiceFixtures.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <algorithm>

namespace {
const QRegularExpression partTarget(QStringLiteral("^/store/(\\d+)/part/(\\d+)$"));
}

UploadBackend::UploadBackend(TestHttpServer &server)
    : m_server(server)
{
    m_server.setHandler([this](const RecordedRequest &head) { return answer(head); });
}

QString UploadBackend::apiBaseUrl() const
{
    return m_server.url(QStringLiteral("/api")).toString();
}

QString UploadBackend::storageUrl(int session)
{
    return QStringLiteral("https://bucket.test/object-%1").arg(session);
}

QString UploadBackend::partPath(int session, int chunkId)
{
    return QStringLiteral("/store/%1/part/%2").arg(session).arg(chunkId);
}

ScriptedResponse UploadBackend::answer(const RecordedRequest &head)
{
    const QString path = head.path();
    if (overrides.contains(path))
        return overrides.value(path);
    if (path == sessionPath) {
        const int session = m_sessionsHandedOut++;
        QJsonArray chunks;
        for (int id = 1; id <= chunkCounts.value(session, 1); ++id) {
            chunks.append(QJsonObject{{"url", m_server.url(partPath(session, id)).toString()},
                                      {"chunkId", id}});
        }
        const QString completion = completeUploadUrls.value(
            session, m_server.url(QStringLiteral("/store/%1/complete").arg(session)).toString());
        const QJsonObject payload{{"uploadId", QStringLiteral("upload-%1").arg(session)},
                                  {"key", QStringLiteral("object-%1").arg(session)},
                                  {"chunkSize", chunkSize},
                                  {"bbUrl", storageUrl(session)},
                                  {"completeUploadUrl", completion},
                                  {"presignedChunkUrls", chunks}};
        return ScriptedResponse::json(200, QJsonDocument(payload).toJson(QJsonDocument::Compact));
    }
    if (path == libraryPath) {
        return ScriptedResponse::json(
            200, libraryAnswer.isEmpty() ? ServiceFixtures::libraryEntryJson() : libraryAnswer);
    }
    if (const auto part = partTarget.match(path); part.hasMatch())
        return ScriptedResponse::withETag("\"etag-" + part.captured(1).toUtf8() + '-' + part.captured(2).toUtf8() + '"');
    return ScriptedResponse{};
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

QStringList UploadBackend::sessionFileNames() const
{
    QStringList names;
    for (const RecordedRequest &request : requestsTo(sessionPath))
        names.append(formField(request, QStringLiteral("uniqueFileName")));
    return names;
}

QByteArray UploadBackend::storedBytes(int session) const
{
    QList<std::pair<int, QByteArray>> parts;
    for (const RecordedRequest &request : m_server.requests()) {
        const auto part = partTarget.match(request.path());
        if (part.hasMatch() && part.captured(1).toInt() == session)
            parts.append({part.captured(2).toInt(), request.body});
    }
    std::stable_sort(parts.begin(), parts.end(),
                     [](const auto &a, const auto &b) { return a.first < b.first; });
    QByteArray bytes;
    for (const auto &part : parts)
        bytes += part.second;
    return bytes;
}

bool UploadBackend::wasCompleted(int session) const
{
    return !requestsTo(QStringLiteral("/store/%1/complete").arg(session)).isEmpty();
}

QList<QPair<QString, QString>> formFields(const RecordedRequest &request)
{
    const QByteArray contentType = request.header("Content-Type");
    const QByteArray delimiter = "--" + contentType.mid(contentType.indexOf("boundary=") + 9);
    static const QRegularExpression name(QStringLiteral("name=\"([^\"]*)\""));
    QList<QPair<QString, QString>> fields;
    qsizetype start = request.body.indexOf(delimiter + "\r\n");
    while (start >= 0) {
        const qsizetype partStart = start + delimiter.size() + 2;
        const qsizetype next = request.body.indexOf("\r\n" + delimiter, partStart);
        if (next < 0)
            break;
        const QByteArray part = request.body.mid(partStart, next - partStart);
        const qsizetype headEnd = part.indexOf("\r\n\r\n");
        fields.append({name.match(QString::fromUtf8(part.left(headEnd))).captured(1),
                       QString::fromUtf8(part.mid(headEnd + 4))});
        start = request.body.at(next + 2 + delimiter.size()) == '-' ? -1 : next + 2;
    }
    return fields;
}

QStringList formFieldNames(const RecordedRequest &request)
{
    QStringList names;
    for (const auto &[name, value] : formFields(request))
        names.append(name);
    return names;
}

QString formField(const RecordedRequest &request, const QString &fieldName)
{
    for (const auto &[name, value] : formFields(request)) {
        if (name == fieldName)
            return value;
    }
    return QString();
}
