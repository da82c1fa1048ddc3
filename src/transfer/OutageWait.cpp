#include "OutageWait.h"

#include "CancellationToken.h"
#include "Diagnostics.h"

#include <QCoro/QCoroTimer>
#include <QNetworkInformation>
#include <QPointer>
#include <QTimer>

#include <atomic>
#include <cmath>

namespace {
std::atomic<double> timeScale = 1.0;

// Null where the system cannot tell (no backend, or no system bus): then only the timer ends
// a wait.
QNetworkInformation *networkInformation()
{
    static const bool loaded = QNetworkInformation::loadBackendByFeatures(QNetworkInformation::Feature::Reachability);
    return loaded ? QNetworkInformation::instance() : nullptr;
}
}

void OutageWait::setTimeScale(double scale)
{
    timeScale = scale;
}

std::chrono::seconds OutageWait::nextWait() const
{
    // 2 s doubled per wait: the sixth wait of an outage would be 64 s, past the cap.
    constexpr int lastDoubling = 5;
    const auto doubled = firstWait * (1 << std::min(m_waitsInOutage, lastDoubling));
    return std::min(doubled, longestWait);
}

void OutageWait::reset()
{
    m_waitsInOutage = 0;
}

QCoro::Task<Result<void>> OutageWait::wait(Error failure, CancellationToken *cancellation)
{
    const QPointer<OutageWait> self = this;
    const QPointer<CancellationToken> token = cancellation;
    if (token && token->isCancelled())
        co_return Error::cancelled();

    using namespace std::chrono;
    const seconds length = nextWait();
    ++m_waitsInOutage;
    const auto scaled = duration_cast<milliseconds>(length * timeScale.load());
    const Outage outage{outageKind(failure).value_or(OutageKind::Network), describeStorageFailure(failure), length,
                        QDateTime::currentDateTimeUtc().addMSecs(scaled.count())};
    Diagnostics::printLine(QStringLiteral("⏳ Waiting %1 s for %2: %3")
                                   .arg(length.count())
                                   .arg(outage.kind == OutageKind::Network ? QStringLiteral("the network")
                                                                           : QStringLiteral("storage"),
                                        outage.reason));
    Q_EMIT waiting(outage);
    // A listener may cancel, or drop this wait, as it hears of it.
    if (!self || (token && token->isCancelled()))
        co_return Error::cancelled();

    QTimer timer;
    timer.setSingleShot(true);
    if (token)
        connect(token, &CancellationToken::cancelled, &timer, [&timer] { timer.start(0); });
    if (QNetworkInformation *network = networkInformation()) {
        connect(network, &QNetworkInformation::reachabilityChanged, &timer,
                [&timer](QNetworkInformation::Reachability reachability) {
                    if (reachability == QNetworkInformation::Reachability::Online)
                        timer.start(0);
                });
    }
    timer.start(scaled);
    co_await timer;

    if (!self || (token && token->isCancelled()))
        co_return Error::cancelled();
    Q_EMIT resumed();
    co_return Result<void>();
}

QString OutageWait::statusText(const Outage &outage, const QDateTime &now)
{
    const qint64 seconds = std::max<qint64>(1, std::ceil(double(now.msecsTo(outage.nextTry)) / 1000.0));
    const QString waitingFor = outage.kind == OutageKind::Network ? QStringLiteral("Waiting for the network")
                                                                  : QStringLiteral("Waiting for storage");
    return waitingFor + QStringLiteral("… next try in %1 s").arg(seconds);
}
