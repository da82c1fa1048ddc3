#include "ServiceFixtures.h"

#include <QJsonDocument>

namespace ServiceFixtures {

QByteArray workspaceJson(const QByteArray &workspaceName)
{
    return R"({"billing_date": 15, "container_name": "c-1", "created_at": "2024-02-30 garbage",
        "current_stream_hours": 3, "drm_enabled": 2, "encoding_enabled": true,
        "encoding_seconds": 0, "has_8k": 1, "id": 42, "max_stream_hours": 100, "seats": 5,
        "stream_container_name": "s-1", "streaming_enabled": 0, "user_ids": ["u1", "u2"],
        "whitelabel_key": "", "workspace_name": ")"
           + workspaceName + R"(", "workspace_owner_id": "owner",
        "unexpected_extra": {"ignored": true}})";
}

QJsonObject workspaceObject()
{
    return QJsonDocument::fromJson(workspaceJson("Studio Nord")).object();
}

QByteArray libraryEntryJson()
{
    return R"({"id": 77, "video_url_left": "https://store.test/l", "video_name": "Dive",
        "workspace_id": 3, "perspective": 180, "is_3d": 1, "file_format_3d": "2D"})";
}

QByteArray uploadSessionJson()
{
    return R"({"uploadId": "u", "key": "k", "chunkSize": 10, "bbUrl": "https://store.test/o",
        "completeUploadUrl": "https://store.test/c", "presignedChunkUrls": [
        {"url": "https://store.test/1", "chunkId": 1}, {"url": "https://store.test/2", "chunkId": 2, "extra": 0}],
        "upload_id": "ignored"})";
}

}
