#pragma once

#include <QString>

// A part the object store accepted, with the entity tag exactly as the store sent it.
struct CompletedPart
{
    qint64 partId = 0;
    QString eTag;

    friend bool operator==(const CompletedPart &, const CompletedPart &) = default;
};
