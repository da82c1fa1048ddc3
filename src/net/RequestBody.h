#pragma once

#include "Result.h"

#include <QByteArray>

#include <memory>

class QFile;

inline const QString fileErrorDomain = QStringLiteral("QFileDevice::FileError");

// What a storage request sends: bytes in memory, or a byte range of an open file that is read as
// it goes out, so that no part of a file is ever held whole in memory.
class RequestBody
{
public:
    RequestBody() = default;
    static RequestBody fromBytes(QByteArray bytes);
    // `file` stays open as long as a body refers to it; it is only ever read with pread, so any
    // thread may read it at once.
    static RequestBody fromFile(std::shared_ptr<QFile> file, qint64 offset, qint64 length);

    qint64 size() const { return m_length; }

    // Copies up to `capacity` bytes from `position` on (counted from the body's start); fewer only
    // at the body's end. Blocking: call it off the UI thread. A file that ends before the body
    // does, or cannot be read, fails with a file error.
    Result<qint64> read(qint64 position, char *into, qint64 capacity) const;

    static Error shortFileError();

private:
    QByteArray m_bytes;
    std::shared_ptr<QFile> m_file;
    qint64 m_offset = 0;
    qint64 m_length = 0;
};
