#pragma once

#include "TransferRateEstimator.h"

#include <QObject>
#include <QTimer>

#include <optional>

// The speed and time-left texts of the upload that is running: "12.3 MB/s" and "4 min left" for
// the whole run, once its first part is stored, and empty otherwise.
class TransferEstimate : public QObject
{
    Q_OBJECT

public:
    explicit TransferEstimate(QObject *parent = nullptr);

    QString speedText() const { return m_speedText; }
    QString remainingTimeText() const { return m_remainingTimeText; }

    // A run starts now, or ends; the texts follow at the next refresh.
    void start();
    void stop();
    // Of the running run only; ignored when none runs.
    void planFiles(const QList<qint64> &fileSizes);
    void beginFile(qint64 fileSize);
    void fileProgress(double storedShare);

    void refresh();

Q_SIGNALS:
    void changed();

private:
    std::optional<TransferRateEstimator> m_estimator;
    QString m_speedText;
    QString m_remainingTimeText;
    // Between two stored parts the remaining time counts down, and a stall shows.
    QTimer m_refreshTimer;
};
