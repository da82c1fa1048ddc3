#include "TransferRateEstimator.h"

#include <QLocale>

#include <algorithm>
#include <cmath>
#include <numeric>

namespace {
double secondsBetween(TransferRateEstimator::Clock::time_point from,
                      TransferRateEstimator::Clock::time_point to)
{
    return std::chrono::duration<double>(to - from).count();
}
}

TransferRateEstimator::TransferRateEstimator(Clock::time_point start)
    : m_sampleTime(start)
{
}

void TransferRateEstimator::planFiles(const QList<qint64> &fileSizes)
{
    m_plannedSizes = fileSizes.mid(m_filesBegun);
}

void TransferRateEstimator::beginFile(qint64 fileSize)
{
    if (m_filesBegun > 0)
        m_finishedFilesBytes += m_currentFileSize;
    ++m_filesBegun;
    if (!m_plannedSizes.isEmpty())
        m_plannedSizes.removeFirst();
    m_currentFileSize = double(std::max<qint64>(fileSize, 0));
    m_storedBytes = std::max(m_storedBytes, m_finishedFilesBytes);
}

void TransferRateEstimator::fileProgress(double storedShare, Clock::time_point now)
{
    const double share = std::clamp(storedShare, 0.0, 1.0);
    m_storedBytes = std::max(m_storedBytes, m_finishedFilesBytes + share * m_currentFileSize);

    // Reports that add nothing (an empty file, a share that rounds to the same percentage) or
    // come at the same instant are folded into the next one that does.
    const double addedBytes = m_storedBytes - m_sampleBytes;
    const double elapsed = secondsBetween(m_sampleTime, now);
    if (addedBytes <= 0.0 || elapsed <= 0.0)
        return;

    const double rate = addedBytes / elapsed;
    if (m_smoothedRate) {
        // Weighted by time rather than by report, so that many small parts and a few large
        // ones smooth alike.
        const double weight = 1.0 - std::exp(-elapsed / smoothingTime.count());
        m_smoothedRate = *m_smoothedRate + weight * (rate - *m_smoothedRate);
    } else {
        m_smoothedRate = rate;
    }
    m_sampleTime = now;
    m_sampleBytes = m_storedBytes;
    m_lastStepBytes = addedBytes;
}

std::optional<double> TransferRateEstimator::bytesPerSecond(Clock::time_point now) const
{
    if (!m_smoothedRate || bytesLeft() <= 0.0)
        return std::nullopt;
    // Had a part as large as the last one been stored just now, the speed since the last report
    // would be this; once the part is overdue (a stall, retries) the speed cannot be more.
    const double sinceSample = secondsBetween(m_sampleTime, now);
    if (sinceSample > 0.0)
        return std::min(*m_smoothedRate, m_lastStepBytes / sinceSample);
    return m_smoothedRate;
}

std::optional<std::chrono::seconds> TransferRateEstimator::timeRemaining(Clock::time_point now) const
{
    const std::optional<double> rate = bytesPerSecond(now);
    if (!rate || *rate <= 0.0)
        return std::nullopt;
    // The part in flight has moved on since the last report, by at most one part.
    const double sinceSample = std::max(secondsBetween(m_sampleTime, now), 0.0);
    const double inFlight = std::min(*rate * sinceSample, m_lastStepBytes);
    const double stored = std::min(std::max(m_storedBytes, m_sampleBytes + inFlight), totalBytes());
    return std::chrono::seconds(qint64(std::ceil((totalBytes() - stored) / *rate)));
}

double TransferRateEstimator::totalBytes() const
{
    const qint64 planned = std::accumulate(m_plannedSizes.cbegin(), m_plannedSizes.cend(), qint64(0));
    return m_finishedFilesBytes + m_currentFileSize + double(planned);
}

double TransferRateEstimator::bytesLeft() const
{
    return totalBytes() - m_storedBytes;
}

QString formatTransferSpeed(double bytesPerSecond)
{
    const qint64 bytes = std::llround(bytesPerSecond);
    return QLocale().formattedDataSize(bytes, 1, QLocale::DataSizeSIFormat) + QStringLiteral("/s");
}

QString formatTimeRemaining(std::chrono::seconds remaining)
{
    const qint64 seconds = std::max<qint64>(remaining.count(), 1);
    constexpr qint64 lastSecondsShown = 55;
    if (seconds <= lastSecondsShown) {
        const qint64 inStepsOfFive = (seconds + 4) / 5 * 5;
        return QStringLiteral("%1 s left").arg(inStepsOfFive);
    }
    const qint64 minutes = std::max<qint64>(std::llround(double(seconds) / 60.0), 1);
    if (minutes < 60)
        return QStringLiteral("%1 min left").arg(minutes);
    if (minutes % 60 == 0)
        return QStringLiteral("%1 h left").arg(minutes / 60);
    return QStringLiteral("%1 h %2 min left").arg(minutes / 60).arg(minutes % 60);
}
