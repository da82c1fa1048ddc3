// The library entry reader, fed whatever the library submission might answer.
#include "FuzzSupport.h"
#include "JsonField.h"
#include "LibraryEntry.h"

#include <QJsonDocument>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QJsonDocument document = QJsonDocument::fromJson(inputBytes(data, size));
    if (!document.isObject())
        return 0;
    const QJsonObject object = document.object();
    const QString sentFormat = QStringLiteral("SBS");
    const std::optional<LibraryEntry> entry = LibraryEntry::fromJson(object, sentFormat);
    if (!entry)
        return 0;
    require(entry->fileFormat3D == sentFormat, "the format is the one sent, never the answer's");
    require(JsonField::integer(object.value(QLatin1String("id")), true) == entry->id,
            "the id is the answer's");
    require(entry->videoName == object.value(QLatin1String("video_name")).toString(),
            "the name is the answer's");
    return 0;
}
