// The workspace reader, fed whatever the startup information endpoint might answer.
#include "FuzzSupport.h"
#include "Workspace.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace {
const char *const requiredKeys[] = {
    "billing_date", "container_name", "created_at", "current_stream_hours", "drm_enabled",
    "encoding_enabled", "encoding_seconds", "has_8k", "id", "max_stream_hours", "seats",
    "stream_container_name", "streaming_enabled", "user_ids", "whitelabel_key",
    "workspace_name", "workspace_owner_id",
};
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QJsonDocument document = QJsonDocument::fromJson(inputBytes(data, size));
    if (!document.isObject())
        return 0;
    const QJsonObject object = document.object();
    const std::optional<Workspace> workspace = Workspace::fromJson(object);
    if (!workspace)
        return 0;
    for (const char *key : requiredKeys) {
        const QJsonValue value = object.value(QLatin1String(key));
        require(!value.isUndefined() && !value.isNull(), "a workspace is read only when every key has a value");
    }
    require(workspace->workspaceName == object.value(QLatin1String("workspace_name")).toString(),
            "the workspace name is the answer's");
    require(workspace->userIds.size() == object.value(QLatin1String("user_ids")).toArray().size(),
            "every user id is kept");
    return 0;
}
