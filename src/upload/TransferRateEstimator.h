#pragma once

#include <QList>
#include <QString>

#include <chrono>
#include <optional>

// Speed and remaining time of a run that stores its files one after another, worked out from
// the share of the current file the transfer reports as stored. Reports come only when a whole
// part is stored, so between them nothing is known; a report that is overdue is taken as a sign
// that the transfer has slowed down. The caller gives the times, which keeps it testable.
class TransferRateEstimator
{
public:
    using Clock = std::chrono::steady_clock;

    // How far back the smoothed speed looks: a sample this old weighs about a third as much
    // as a fresh one.
    static constexpr std::chrono::duration<double> smoothingTime{10.0};

    explicit TransferRateEstimator(Clock::time_point start);

    // The sizes of all the run's files in upload order, measured as it started (files that
    // could not be looked at count as empty). They may come late: until then the time left
    // covers the files begun so far, and the files begun meanwhile keep the sizes read for them.
    void planFiles(const QList<qint64> &fileSizes);
    // The next file starts, with the size the run has just read for it; the files before it
    // count as stored.
    void beginFile(qint64 fileSize);
    // The current file's stored share, 0 to 1. Shares never go back.
    void fileProgress(double storedShare, Clock::time_point now);

    // None until a stored part has been timed, and once nothing is left to send.
    std::optional<double> bytesPerSecond(Clock::time_point now) const;
    std::optional<std::chrono::seconds> timeRemaining(Clock::time_point now) const;

private:
    double totalBytes() const;
    double bytesLeft() const;

    QList<qint64> m_plannedSizes; // of the files not begun yet
    qsizetype m_filesBegun = 0;
    double m_finishedFilesBytes = 0.0;
    double m_currentFileSize = 0.0;
    double m_storedBytes = 0.0;

    // The last report that stored more bytes, with the bytes it added.
    Clock::time_point m_sampleTime;
    double m_sampleBytes = 0.0;
    double m_lastStepBytes = 0.0;
    std::optional<double> m_smoothedRate;
};

// "12.3 MB/s": decimal units, as network speeds are usually given.
QString formatTransferSpeed(double bytesPerSecond);
// "45 s left", "12 min left", "2 h 5 min left": precise enough to plan by, coarse enough not to
// flicker from one refresh to the next.
QString formatTimeRemaining(std::chrono::seconds remaining);
