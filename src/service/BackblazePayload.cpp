#include "BackblazePayload.h"

#include "JsonField.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {
enum DecodingFailure { dataCorrupted, keyNotFound, typeMismatch };

class SessionDecoder
{
public:
    std::optional<Error> error;

    QJsonValue field(const QJsonObject &object, const QString &path, const char *key)
    {
        const QString name = QLatin1String(key);
        if (error)
            return {};
        if (!object.contains(name)) {
            fail(keyNotFound,
                 QStringLiteral("The upload session has no value for the key \"%1\".").arg(path + name));
            return {};
        }
        return object.value(name);
    }

    QString string(const QJsonObject &object, const QString &path, const char *key)
    {
        const QJsonValue value = field(object, path, key);
        if (error)
            return {};
        const auto text = JsonField::string(value);
        if (!text)
            mismatch(path, key, "a string");
        return text.value_or(QString());
    }

    qint64 integer(const QJsonObject &object, const QString &path, const char *key)
    {
        const QJsonValue value = field(object, path, key);
        if (error)
            return 0;
        const auto number = JsonField::integer(value, false);
        if (!number)
            mismatch(path, key, "an integer");
        return number.value_or(0);
    }

    void mismatch(const QString &path, const char *key, const char *expected)
    {
        fail(typeMismatch, QStringLiteral("The upload session's value for the key \"%1%2\" is not %3.")
                               .arg(path, QLatin1String(key), QLatin1String(expected)));
    }

    void fail(DecodingFailure kind, const QString &description)
    {
        error = Error(Error::decodingDomain, kind, description);
    }
};
}

Result<BackblazePayload> BackblazePayload::decode(const QByteArray &json)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        return Error(Error::decodingDomain, dataCorrupted,
                     QStringLiteral("The upload session is not valid JSON: %1 at offset %2.")
                         .arg(parseError.errorString())
                         .arg(parseError.offset));
    }
    if (!document.isObject()) {
        return Error(Error::decodingDomain, typeMismatch,
                     QStringLiteral("The upload session is not a JSON object."));
    }

    SessionDecoder decoder;
    const QJsonObject object = document.object();
    BackblazePayload payload;
    payload.uploadId = decoder.string(object, {}, "uploadId");
    payload.key = decoder.string(object, {}, "key");
    payload.chunkSize = decoder.integer(object, {}, "chunkSize");
    payload.bbUrl = decoder.string(object, {}, "bbUrl");
    payload.completeUploadUrl = decoder.string(object, {}, "completeUploadUrl");
    const QJsonValue chunks = decoder.field(object, {}, "presignedChunkUrls");
    if (!decoder.error && !chunks.isArray())
        decoder.mismatch({}, "presignedChunkUrls", "an array");
    const QJsonArray chunkArray = chunks.toArray();
    for (qsizetype index = 0; index < chunkArray.size() && !decoder.error; ++index) {
        const QString path = QStringLiteral("presignedChunkUrls[%1].").arg(index);
        const QJsonValue element = chunkArray.at(index);
        if (!element.isObject()) {
            decoder.fail(typeMismatch,
                         QStringLiteral("The upload session's \"presignedChunkUrls[%1]\" is not an object.")
                             .arg(index));
            break;
        }
        PresignedChunkUrl chunk;
        chunk.url = decoder.string(element.toObject(), path, "url");
        chunk.chunkId = decoder.integer(element.toObject(), path, "chunkId");
        payload.presignedChunkUrls.append(chunk);
    }
    if (decoder.error)
        return *decoder.error;
    return payload;
}

QByteArray BackblazePayload::toJson() const
{
    QJsonArray chunks;
    for (const PresignedChunkUrl &chunk : presignedChunkUrls)
        chunks.append(QJsonObject{{QStringLiteral("url"), chunk.url}, {QStringLiteral("chunkId"), chunk.chunkId}});
    const QJsonObject object{
        {QStringLiteral("uploadId"), uploadId},
        {QStringLiteral("key"), key},
        {QStringLiteral("chunkSize"), chunkSize},
        {QStringLiteral("bbUrl"), bbUrl},
        {QStringLiteral("completeUploadUrl"), completeUploadUrl},
        {QStringLiteral("presignedChunkUrls"), chunks},
    };
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}
