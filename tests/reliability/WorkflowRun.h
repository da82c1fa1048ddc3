#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>

class FileUploaderState;

// Bytes that differ from file to file and from offset to offset, so that a part stored in the
// wrong place, twice or not at all shows in the stored object.
QByteArray sampleBytes(const QString &seed, qint64 size);
QByteArray sha256(const QByteArray &bytes);
bool writeFile(const QString &path, const QByteArray &bytes);

// Picks `file` for a "2D" video named "Reliability".
void pickVideo(FileUploaderState &state, const QUrl &file);

// A run has ended once it completed or reported its failure in the log; "Upload canceled"
// alone is no end, the late failure report still comes.
bool runHasEnded(const FileUploaderState &state);
// Runs the event loop until the run has ended; false only when a hang reached the fallback.
bool waitUntilRunEnds(const FileUploaderState &state);
// False as well when the run did not start.
bool startAndFinish(FileUploaderState &state);
// The status and the log, for the message of a failed check.
QString runSummary(const FileUploaderState &state);
