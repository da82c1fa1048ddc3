#include "FileRange.h"

#include <QFile>

namespace {
Error fileError(const QFile &file)
{
    return Error(fileErrorDomain, file.error(), file.errorString());
}
}

Result<QByteArray> readFileRange(QFile &file, qint64 offset, qint64 length)
{
    if (!file.seek(offset))
        return fileError(file);
    if (length <= 0)
        return QByteArray();
    QByteArray bytes(length, Qt::Uninitialized);
    const qint64 count = file.read(bytes.data(), length);
    if (count < 0)
        return fileError(file);
    bytes.truncate(count);
    return bytes;
}
