#pragma once

#include <QString>

// One presigned target of an upload session: the URL a chunk is PUT to and its part number.
struct PresignedChunkUrl
{
    QString url;
    qint64 chunkId = 0;

    friend bool operator==(const PresignedChunkUrl &, const PresignedChunkUrl &) = default;
};
