#include "JsonField.h"

#include <QVariant>

#include <cmath>

std::optional<qint64> JsonField::integer(const QJsonValue &value, bool booleansAsIntegers)
{
    if (value.isBool()) {
        if (!booleansAsIntegers)
            return std::nullopt;
        return value.toBool() ? 1 : 0;
    }
    if (!value.isDouble())
        return std::nullopt;
    const QVariant number = value.toVariant();
    if (number.typeId() == QMetaType::LongLong)
        return number.toLongLong();
    const double real = value.toDouble();
    // 2^63 itself is out of range; every double below it converts exactly.
    constexpr double limit = 9223372036854775808.0;
    if (!std::isfinite(real) || std::trunc(real) != real || real >= limit || real < -limit)
        return std::nullopt;
    return qint64(real);
}

std::optional<QString> JsonField::string(const QJsonValue &value)
{
    if (!value.isString())
        return std::nullopt;
    return value.toString();
}

std::optional<bool> JsonField::boolean(const QJsonValue &value)
{
    if (value.isBool())
        return value.toBool();
    const auto number = integer(value, false);
    if (number == 1)
        return true;
    if (number == 0)
        return false;
    return std::nullopt;
}
