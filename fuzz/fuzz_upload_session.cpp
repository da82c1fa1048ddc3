// The upload session decoder, fed whatever the session endpoint might answer.
#include "BackblazePayload.h"
#include "FuzzSupport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray json = inputBytes(data, size);
    const Result<BackblazePayload> payload = BackblazePayload::decode(json);
    if (!payload) {
        require(payload.error().domain() == Error::decodingDomain, "a refusal is a decoding error");
        require(!payload.error().description().isEmpty(), "a refusal says why");
        return 0;
    }
    const QJsonObject object = QJsonDocument::fromJson(json).object();
    const QJsonArray chunks = object.value(QLatin1String("presignedChunkUrls")).toArray();
    require(payload.value().presignedChunkUrls.size() == chunks.size(), "every chunk URL is kept");
    for (qsizetype i = 0; i < chunks.size(); ++i) {
        require(payload.value().presignedChunkUrls.at(i).url == chunks.at(i)[QLatin1String("url")].toString(),
                "chunk URLs keep their order and text");
    }
    require(payload.value().bbUrl == object.value(QLatin1String("bbUrl")).toString(), "the storage URL is the answer's");
    return 0;
}
