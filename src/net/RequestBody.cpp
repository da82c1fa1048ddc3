#include "RequestBody.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <unistd.h>

RequestBody RequestBody::fromBytes(QByteArray bytes)
{
    RequestBody body;
    body.m_length = bytes.size();
    body.m_bytes = std::move(bytes);
    return body;
}

RequestBody RequestBody::fromFile(std::shared_ptr<QFile> file, qint64 offset, qint64 length)
{
    RequestBody body;
    body.m_file = std::move(file);
    body.m_offset = offset;
    body.m_length = std::max<qint64>(length, 0);
    return body;
}

Result<qint64> RequestBody::read(qint64 position, char *into, qint64 capacity) const
{
    const qint64 wanted = std::clamp<qint64>(m_length - position, 0, capacity);
    if (wanted == 0)
        return qint64(0);
    if (!m_file) {
        std::memcpy(into, m_bytes.constData() + position, size_t(wanted));
        return wanted;
    }
    for (;;) {
        const ssize_t count = ::pread(m_file->handle(), into, size_t(wanted), off_t(m_offset + position));
        if (count > 0)
            return qint64(count);
        if (count == 0)
            return shortFileError();
        if (errno != EINTR)
            return Error(fileErrorDomain, QFileDevice::ReadError, QString::fromLocal8Bit(std::strerror(errno)));
    }
}

Error RequestBody::shortFileError()
{
    return Error(fileErrorDomain, QFileDevice::ReadError,
                 QStringLiteral("The file became shorter while it was being sent."));
}
