#pragma once

#include <QString>

// A part that storage has accepted: what the completion document names, and the range of the
// file it holds.
struct StoredPart
{
    qint64 partNumber = 0;
    QString eTag;
    qint64 offset = 0;
    qint64 size = 0;

    friend bool operator==(const StoredPart &, const StoredPart &) = default;
};
