#pragma once

#include "BackblazePayload.h"
#include "Error.h"

#include <QString>
#include <QUrl>

#include <optional>

// One file of a run and how far the run got with it.
struct RunFile
{
    enum class Role { aime, fcpxml, video };

    QUrl file;
    Role role = Role::video;
    // Looked at once, as the run starts: the size, or why the file cannot be sent.
    qint64 size = 0;
    std::optional<Error> unusable;
    // The upload session the service handed out for it.
    std::optional<BackblazePayload> session;
    // Where storage keeps it, once every part and the completion went through.
    std::optional<QString> storageUrl;
};
