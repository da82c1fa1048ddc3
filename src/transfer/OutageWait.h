#pragma once

#include "Result.h"
#include "StorageFailure.h"

#include <QCoro/QCoroTask>
#include <QDateTime>
#include <QObject>

#include <chrono>

class CancellationToken;

// One wait for an outage to pass, as the user is told about it.
struct Outage
{
    OutageKind kind = OutageKind::Network;
    QString reason; // in plain words, e.g. "could not connect to storage"
    std::chrono::seconds wait{0};
    QDateTime nextTry; // UTC
};

// Decides how long a transfer waits out an outage before its next round of attempts: 2 s, then
// 4, 8, ... up to 60 s while the outage lasts, cut short when the system reports the network
// back online (where it can tell) and at once by cancellation. One per run; the transfer calls
// reset() once storage accepts a request again.
class OutageWait : public QObject
{
    Q_OBJECT

public:
    static constexpr std::chrono::seconds firstWait{2};
    static constexpr std::chrono::seconds longestWait{60};

    using QObject::QObject;

    // Waits out the outage behind `failure`. Fails with the cancellation error when cancelled,
    // before or during the wait.
    QCoro::Task<Result<void>> wait(Error failure, CancellationToken *cancellation);
    // The outage is over: the next one starts again with the first wait.
    void reset();

    // "Waiting for the network… next try in 8 s", counted from `now`.
    static QString statusText(const Outage &outage, const QDateTime &now);

    // Tests run every wait at `scale` of its length (0: at once); 1 by default.
    static void setTimeScale(double scale);

Q_SIGNALS:
    void waiting(const Outage &outage);
    // The wait is over (not cancelled): the next round of attempts starts now.
    void resumed();

private:
    std::chrono::seconds nextWait() const;

    int m_waitsInOutage = 0;
};
