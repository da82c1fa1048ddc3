#include "ProcessMemory.h"

#include <QByteArray>
#include <QFile>

namespace {
qint64 statusField(QByteArrayView name)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    // The kernel makes the text as it is read, and the file claims to be empty: atEnd() would
    // be true at once, so read it whole.
    const QList<QByteArray> lines = status.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith(name) && line.size() > name.size() && line[name.size()] == ':') {
            const QByteArray value = line.mid(name.size() + 1).trimmed();
            return value.left(value.indexOf(' ')).toLongLong();
        }
    }
    return -1;
}
}

qint64 ProcessMemory::residentKiB()
{
    return statusField("VmRSS");
}

qint64 ProcessMemory::peakResidentKiB()
{
    return statusField("VmHWM");
}

bool ProcessMemory::resetPeak()
{
    QFile clearRefs(QStringLiteral("/proc/self/clear_refs"));
    return clearRefs.open(QIODevice::WriteOnly) && clearRefs.write("5") == 1;
}
