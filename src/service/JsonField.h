#pragma once

#include <QJsonValue>
#include <QString>

#include <optional>

// Strict readers of single JSON values. A value of another type, or null, reads as nothing.
class JsonField
{
public:
    // A whole number in the signed 64-bit range. 2.5, "3" and 1e300 are not integers;
    // true and false read as 1 and 0 only where `booleansAsIntegers` says so.
    static std::optional<qint64> integer(const QJsonValue &value, bool booleansAsIntegers);
    static std::optional<QString> string(const QJsonValue &value);
    // JSON true/false, or the integers 1 and 0.
    static std::optional<bool> boolean(const QJsonValue &value);
};
