#pragma once

#include "BackblazePayload.h"

#include <QByteArray>
#include <QString>

// A session as the service would hand it out, every URL on the discard sink at `sinkUrl`: one
// URL for a `partSize` of 0, otherwise one per part and a completion URL.
BackblazePayload sinkSession(const QString &sinkUrl, const QString &name, qint64 bytes, qint64 partSize);

// `session` as the service's JSON, for this program's `upload` command to read back.
QByteArray sessionJson(const BackblazePayload &session);
