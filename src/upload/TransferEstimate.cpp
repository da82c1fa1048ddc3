#include "TransferEstimate.h"

namespace {
constexpr std::chrono::seconds refreshInterval{1};
}

TransferEstimate::TransferEstimate(QObject *parent)
    : QObject(parent)
{
    m_refreshTimer.setInterval(refreshInterval);
    connect(&m_refreshTimer, &QTimer::timeout, this, &TransferEstimate::refresh);
}

void TransferEstimate::start()
{
    m_estimator.emplace(TransferRateEstimator::Clock::now());
    m_refreshTimer.start();
}

void TransferEstimate::stop()
{
    m_refreshTimer.stop();
    m_estimator.reset();
}

void TransferEstimate::planFiles(const QList<qint64> &fileSizes)
{
    if (m_estimator)
        m_estimator->planFiles(fileSizes);
}

void TransferEstimate::beginFile(qint64 fileSize)
{
    if (m_estimator)
        m_estimator->beginFile(fileSize);
}

void TransferEstimate::fileProgress(double storedShare)
{
    if (!m_estimator)
        return;
    m_estimator->fileProgress(storedShare, TransferRateEstimator::Clock::now());
    refresh();
}

void TransferEstimate::refresh()
{
    QString speed;
    QString remaining;
    if (m_estimator) {
        const auto now = TransferRateEstimator::Clock::now();
        if (const std::optional<double> rate = m_estimator->bytesPerSecond(now))
            speed = formatTransferSpeed(*rate);
        if (const std::optional<std::chrono::seconds> left = m_estimator->timeRemaining(now))
            remaining = formatTimeRemaining(*left);
    }
    if (speed == m_speedText && remaining == m_remainingTimeText)
        return;
    m_speedText = speed;
    m_remainingTimeText = remaining;
    Q_EMIT changed();
}
