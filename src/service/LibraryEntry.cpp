#include "LibraryEntry.h"

#include "JsonField.h"

std::optional<LibraryEntry> LibraryEntry::fromJson(const QJsonObject &object,
                                                   const QString &fileFormat3D)
{
    const auto integer = [&object](const char *key) {
        return JsonField::integer(object.value(QLatin1String(key)), true);
    };
    const auto string = [&object](const char *key) {
        return JsonField::string(object.value(QLatin1String(key)));
    };
    const auto id = integer("id");
    const auto videoUrlLeft = string("video_url_left");
    const auto videoName = string("video_name");
    const auto workspaceId = integer("workspace_id");
    const auto perspective = integer("perspective");
    const auto is3D = JsonField::boolean(object.value(QLatin1String("is_3d")));
    if (!id || !videoUrlLeft || !videoName || !workspaceId || !perspective || !is3D)
        return std::nullopt;
    return LibraryEntry{*id, *videoUrlLeft, *videoName, *workspaceId, *perspective, fileFormat3D, *is3D};
}
