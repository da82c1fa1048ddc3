#pragma once

#include <QString>

#include <optional>

class Error;

// Why a failure that time can heal happened: the way to storage is down, or storage itself is
// busy or unwell.
enum class OutageKind { Network, Storage };

// The outage behind `failure` when waiting may heal it: no connection, a failed name lookup, a
// connection reset or closed before the answer, a stall, or an answer of 408, 429, 500, 502, 503
// or 504. None for every other failure (a refusal such as 403 or 404, a local file error, a
// cancellation), which waiting cannot mend.
std::optional<OutageKind> outageKind(const Error &failure);
bool timeCanHeal(const Error &failure);

// The failure of a storage request in plain words ("could not connect to storage", "storage
// answered 503"); the error's own description when there are none.
QString describeStorageFailure(const Error &failure);
