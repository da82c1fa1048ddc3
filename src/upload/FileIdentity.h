#pragma once

#include <QString>

#include <optional>

// What tells one state of a local file from another without reading it: a file edited, replaced
// or touched since an upload began is never resumed.
struct FileIdentity
{
    qint64 size = 0;
    // Nanoseconds since the epoch.
    qint64 modified = 0;
    quint64 inode = 0;

    // None when the path names no file the process may look at. Blocks on the file system.
    static std::optional<FileIdentity> of(const QString &path);
    // Of the file behind an open descriptor: what is read is what was checked.
    static std::optional<FileIdentity> ofOpenFile(int descriptor);

    friend bool operator==(const FileIdentity &, const FileIdentity &) = default;
};
