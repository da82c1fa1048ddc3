#pragma once

#include "BackblazePayload.h"
#include "FileIdentity.h"
#include "Result.h"
#include "StoredPart.h"

#include <QList>
#include <QString>

#include <optional>

// What one upload run has achieved so far, in a form that outlives the process: the form it was
// started with, and per file what storage already holds. A run goes on from it after a failure,
// a quit or a crash. It never holds the API key.
struct UploadRecord
{
    enum class Role { aime, fcpxml, video };

    struct File
    {
        Role role = Role::video;
        QString path;
        // The file as it was when its upload began.
        FileIdentity identity;
        // The service's answer for this file, once asked.
        std::optional<BackblazePayload> session;
        QList<StoredPart> storedParts;
        // Set once storage holds the whole file.
        std::optional<QString> storageUrl;

        qint64 storedBytes() const;
        friend bool operator==(const File &, const File &) = default;
    };

    qint64 workspaceId = 0;
    QString videoName;
    QString fileFormat;
    QString perspective;
    // In upload order: side files first, then the video files.
    QList<File> files;
    // The library entry came back.
    bool registrationConfirmed = false;

    qint64 totalBytes() const;
    qint64 storedBytes() const;
    // The share storage holds, in whole percent rounded down: 100 only once everything is there.
    int storedPercent() const;

    // Kept apart: a session lists a URL for every part, thousands for a large file, and is
    // written once, while the progress is written after every part.
    QByteArray progressJson() const;
    QByteArray sessionsJson() const;
    // Fails on anything but a record this version wrote. A session whose object key the
    // progress does not name (one written before a crash cut the progress short) is dropped.
    static Result<UploadRecord> fromJson(const QByteArray &progress, const QByteArray &sessions);

    friend bool operator==(const UploadRecord &, const UploadRecord &) = default;
};
