#include "Workspace.h"

#include "JsonField.h"

#include <QJsonArray>

namespace {
class WorkspaceReader
{
public:
    explicit WorkspaceReader(const QJsonObject &object)
        : m_object(object)
    {
    }

    bool failed() const { return m_failed; }

    qint64 integer(const char *key)
    {
        if (m_failed)
            return 0;
        const auto value = JsonField::integer(m_object.value(QLatin1String(key)), true);
        m_failed = !value;
        return value.value_or(0);
    }

    bool flag(const char *key) { return integer(key) == 1; }

    QString string(const char *key)
    {
        if (m_failed)
            return {};
        const auto value = JsonField::string(m_object.value(QLatin1String(key)));
        m_failed = !value;
        return value.value_or(QString());
    }

    QStringList strings(const char *key)
    {
        if (m_failed)
            return {};
        const QJsonValue value = m_object.value(QLatin1String(key));
        QStringList list;
        m_failed = !value.isArray();
        for (const QJsonValue element : value.toArray()) {
            if (!element.isString()) {
                m_failed = true;
                break;
            }
            list.append(element.toString());
        }
        return list;
    }

private:
    const QJsonObject &m_object;
    bool m_failed = false;
};
}

std::optional<Workspace> Workspace::fromJson(const QJsonObject &object)
{
    WorkspaceReader read(object);
    Workspace workspace;
    workspace.billingDate = read.integer("billing_date");
    workspace.containerName = read.string("container_name");
    workspace.createdAt = read.string("created_at");
    workspace.currentStreamHours = read.integer("current_stream_hours");
    workspace.drmEnabled = read.flag("drm_enabled");
    workspace.encodingEnabled = read.flag("encoding_enabled");
    workspace.encodingSeconds = read.integer("encoding_seconds");
    workspace.has8k = read.flag("has_8k");
    workspace.id = read.integer("id");
    workspace.maxStreamHours = read.integer("max_stream_hours");
    workspace.seats = read.integer("seats");
    workspace.streamContainerName = read.string("stream_container_name");
    workspace.streamingEnabled = read.flag("streaming_enabled");
    workspace.userIds = read.strings("user_ids");
    workspace.whitelabelKey = read.string("whitelabel_key");
    workspace.workspaceName = read.string("workspace_name");
    workspace.workspaceOwnerId = read.string("workspace_owner_id");
    if (read.failed())
        return std::nullopt;
    return workspace;
}
