#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// The files the measurements send: pseudo-random bytes (nothing compresses or deduplicates
// them), written once and flushed to disk before anything is timed, so the page cache holds
// them and no write-back runs during a measurement.
struct TestData
{
    QString largeFile; // 1 GiB
    QString smallFile; // 256 MiB, the first quarter of largeFile
    QString tinyFile; // 4 KiB, its first bytes

    static TestData write(const QString &directory);

    // Writes `file` cut into `partSize` pieces into `directory` (for curl, which sends whole
    // files) and answers their paths in order.
    static QList<QString> splitIntoParts(const QString &file, qint64 partSize, const QString &directory);
    // The hex MD5 of each `partSize` piece of `file`: the ETags an S3 store answers.
    static QList<QByteArray> partDigests(const QString &file, qint64 partSize);
};
