#pragma once

#include <QString>

// A part that storage accepted, with the file range it holds: what a resumed transfer needs to
// skip it and to list it in the completion.
struct StoredPart
{
    qint64 partNumber = 0;
    QString eTag; // exactly as storage sent it
    qint64 offset = 0;
    qint64 size = 0;

    friend bool operator==(const StoredPart &, const StoredPart &) = default;
};
