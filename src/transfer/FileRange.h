#pragma once

#include "Result.h"

#include <QByteArray>

class QFile;

inline const QString fileErrorDomain = QStringLiteral("QFileDevice::FileError");

// Reads up to `length` bytes of `file` from `offset` (fewer at its end; nothing when `length` is
// 0 or less). Blocking: call it on a worker thread. Fails when the file cannot be positioned or
// read, with the file's own error.
// The bytes go into `storage` when nothing else shares it: a buffer handed back call after call
// spares the system from mapping, and clearing, fresh pages for every range.
Result<QByteArray> readFileRange(QFile &file, qint64 offset, qint64 length, QByteArray storage = {});
