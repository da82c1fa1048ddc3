#pragma once

#include "BackblazePayload.h"
#include "Error.h"
#include "FileIdentity.h"
#include "StoredPart.h"

#include <QList>
#include <QString>
#include <QUrl>

#include <optional>

// One file of a run and how far the run got with it: what storage holds of it outlives the
// process (see UploadRecord).
struct RunFile
{
    enum class Role { aime, fcpxml, video };

    QUrl file;
    Role role = Role::video;
    // Looked at as the run starts: the size, or why the file cannot be sent.
    qint64 size = 0;
    std::optional<Error> unusable;
    // The file as it was when its upload began; parts of another state of it are never resumed.
    FileIdentity identity;
    // The upload session the service handed out for it.
    std::optional<BackblazePayload> session;
    // What storage accepted of it through that session.
    QList<StoredPart> storedParts;
    // Where storage keeps it, once every part and the completion went through.
    std::optional<QString> storageUrl;

    qint64 storedBytes() const;

    friend bool operator==(const RunFile &, const RunFile &) = default;
};
