#include "FileIdentity.h"

#include <QFile>

#include <sys/stat.h>

namespace {
FileIdentity identityOf(const struct stat &status)
{
    return FileIdentity{status.st_size, qint64(status.st_mtim.tv_sec) * 1'000'000'000 + status.st_mtim.tv_nsec,
                        quint64(status.st_ino)};
}
}

std::optional<FileIdentity> FileIdentity::of(const QString &path)
{
    struct stat status {};
    if (::stat(QFile::encodeName(path).constData(), &status) != 0)
        return std::nullopt;
    return identityOf(status);
}

std::optional<FileIdentity> FileIdentity::ofOpenFile(int descriptor)
{
    struct stat status {};
    if (::fstat(descriptor, &status) != 0)
        return std::nullopt;
    return identityOf(status);
}
