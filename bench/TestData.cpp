#include "TestData.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {
constexpr qint64 mebibyte = 1024 * 1024;
constexpr qint64 largeSize = 1024 * mebibyte;
constexpr qint64 smallSize = 256 * mebibyte;
constexpr qint64 tinySize = 4 * 1024;
constexpr qint64 bufferSize = 8 * mebibyte;

[[noreturn]] void giveUp(const QString &what, const QFile &file)
{
    std::fprintf(stderr, "test data: %s %s: %s\n", qPrintable(what), qPrintable(file.fileName()),
                 qPrintable(file.errorString()));
    std::exit(1);
}

void openForWriting(QFile &file)
{
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        giveUp(QStringLiteral("cannot create"), file);
}

void writeAll(QFile &file, const QByteArray &bytes)
{
    if (file.write(bytes) != bytes.size())
        giveUp(QStringLiteral("cannot write"), file);
}

void flushToDisk(QFile &file)
{
    if (!file.flush() || ::fsync(file.handle()) != 0)
        giveUp(QStringLiteral("cannot flush"), file);
    file.close();
}

// xorshift64*: fast, and incompressible enough for any transport.
void fill(QByteArray &buffer, quint64 &state)
{
    auto *words = reinterpret_cast<quint64 *>(buffer.data());
    for (qsizetype i = 0; i < buffer.size() / qsizetype(sizeof(quint64)); ++i) {
        state ^= state >> 12;
        state ^= state << 25;
        state ^= state >> 27;
        words[i] = state * 0x2545F4914F6CDD1DULL;
    }
}
}

TestData TestData::write(const QString &directory)
{
    TestData data{QDir(directory).filePath(QStringLiteral("upload-1g.bin")),
                  QDir(directory).filePath(QStringLiteral("upload-256m.bin")),
                  QDir(directory).filePath(QStringLiteral("upload-4k.bin"))};
    QFile large(data.largeFile);
    QFile small(data.smallFile);
    QFile tiny(data.tinyFile);
    openForWriting(large);
    openForWriting(small);
    openForWriting(tiny);
    QByteArray buffer(bufferSize, Qt::Uninitialized);
    quint64 state = 0x9E3779B97F4A7C15ULL;
    for (qint64 written = 0; written < largeSize; written += bufferSize) {
        fill(buffer, state);
        writeAll(large, buffer);
        if (written < smallSize)
            writeAll(small, buffer);
        if (written == 0)
            writeAll(tiny, buffer.left(tinySize));
    }
    flushToDisk(large);
    flushToDisk(small);
    flushToDisk(tiny);
    return data;
}

QList<QString> TestData::splitIntoParts(const QString &file, qint64 partSize, const QString &directory)
{
    QDir().mkpath(directory);
    QFile source(file);
    if (!source.open(QIODevice::ReadOnly))
        giveUp(QStringLiteral("cannot read"), source);
    QList<QString> parts;
    while (!source.atEnd()) {
        const QByteArray bytes = source.read(partSize);
        if (bytes.isEmpty())
            giveUp(QStringLiteral("cannot read"), source);
        QFile part(QDir(directory).filePath(QStringLiteral("part-%1").arg(parts.size() + 1, 5, 10, QLatin1Char('0'))));
        openForWriting(part);
        writeAll(part, bytes);
        flushToDisk(part);
        parts.append(part.fileName());
    }
    return parts;
}

QList<QByteArray> TestData::partDigests(const QString &file, qint64 partSize)
{
    QFile source(file);
    if (!source.open(QIODevice::ReadOnly))
        giveUp(QStringLiteral("cannot read"), source);
    QList<QByteArray> digests;
    while (!source.atEnd())
        digests.append(QCryptographicHash::hash(source.read(partSize), QCryptographicHash::Md5).toHex());
    return digests;
}
