#pragma once

#include "Result.h"
#include "RunFile.h"
#include "UploadPlan.h"

#include <QList>

// What one upload run has achieved so far, in a form that outlives the process: the form it was
// started with, and per file what storage already holds. A run goes on from it after a failure,
// a quit or a crash. It never holds the API key.
struct UploadRecord
{
    qint64 workspaceId = 0;
    UploadPlan plan;
    // In upload order: side files first, then the video files.
    QList<RunFile> files;
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
