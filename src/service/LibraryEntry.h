#pragma once

#include <QJsonObject>
#include <QString>

#include <optional>

// The library entry the service confirms after a submission.
struct LibraryEntry
{
    qint64 id = 0;
    QString videoUrlLeft;
    QString videoName;
    qint64 workspaceId = 0;
    qint64 perspective = 0;
    // Not read from the answer: the format value that was sent.
    QString fileFormat3D;
    bool is3D = false;

    static std::optional<LibraryEntry> fromJson(const QJsonObject &object, const QString &fileFormat3D);

    friend bool operator==(const LibraryEntry &, const LibraryEntry &) = default;
};
