#pragma once

#include <QList>

#include <algorithm>
#include <cmath>

namespace Statistics {

// The middle value; the mean of the two middle ones for an even count; 0 for none.
inline double median(QList<double> values)
{
    if (values.isEmpty())
        return 0.0;
    std::sort(values.begin(), values.end());
    const qsizetype middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2.0;
}

// Nearest-rank percentile (0 < p <= 100); 0 for none.
inline double percentile(QList<double> values, double p)
{
    if (values.isEmpty())
        return 0.0;
    std::sort(values.begin(), values.end());
    const auto rank = qsizetype(std::ceil(p / 100.0 * double(values.size())));
    return values[std::clamp<qsizetype>(rank, 1, values.size()) - 1];
}

inline double minimum(const QList<double> &values)
{
    return values.isEmpty() ? 0.0 : *std::min_element(values.begin(), values.end());
}

inline double maximum(const QList<double> &values)
{
    return values.isEmpty() ? 0.0 : *std::max_element(values.begin(), values.end());
}

}
