#pragma once

#include "Result.h"

#include <QJsonObject>
#include <QStringList>

#include <optional>

// The signed-in key holder's workspace, as the startup information describes it.
struct Workspace
{
    std::optional<qint64> billingDate;
    QString containerName;
    QString createdAt;
    qint64 currentStreamHours = 0;
    bool drmEnabled = false;
    bool encodingEnabled = false;
    qint64 encodingSeconds = 0;
    bool has8k = false;
    qint64 id = 0;
    qint64 maxStreamHours = 0;
    qint64 seats = 0;
    QString streamContainerName;
    bool streamingEnabled = false;
    QStringList userIds;
    std::optional<QString> whitelabelKey;
    QString workspaceName;
    QString workspaceOwnerId;

    // Reads every key in declaration order; the first one absent, null or mistyped makes the
    // whole object unreadable. Flags are integers, true exactly when 1.
    static std::optional<Workspace> fromJson(const QJsonObject &object);

    friend bool operator==(const Workspace &, const Workspace &) = default;
};
