#include "FileRange.h"

#include <QFile>

namespace {
Error fileError(const QFile &file)
{
    return Error(fileErrorDomain, file.error(), file.errorString());
}
}

Result<QByteArray> readFileRange(QFile &file, qint64 offset, qint64 length, QByteArray storage)
{
    if (!file.seek(offset))
        return fileError(file);
    if (length <= 0)
        return QByteArray();
    // Resizing a shared buffer would copy its old bytes first.
    if (!storage.isDetached())
        storage = QByteArray();
    storage.resize(length);
    const qint64 count = file.read(storage.data(), length);
    if (count < 0)
        return fileError(file);
    storage.truncate(count);
    return storage;
}
