#pragma once

#include <QDateTime>

#include <optional>

class QUrl;

// When a SigV4 presigned URL stops being accepted: its X-Amz-Date (yyyyMMddTHHmmssZ, UTC) plus
// X-Amz-Expires seconds. None when the URL does not carry both, or either cannot be read.
std::optional<QDateTime> presignedUrlExpiry(const QUrl &url);
