#include "AsyncSleep.h"

#include "CancellationToken.h"

#include <QCoro/QCoroTimer>
#include <QPointer>
#include <QTimer>

namespace {
AsyncSleep::Observer sleepObserver;
double timeScale = 1.0;
}

void AsyncSleep::setObserver(Observer observer)
{
    sleepObserver = std::move(observer);
}

void AsyncSleep::setTimeScale(double scale)
{
    timeScale = scale;
}

QCoro::Task<Result<void>> AsyncSleep::sleep(std::chrono::nanoseconds duration,
                                            CancellationToken *cancellation)
{
    if (sleepObserver)
        sleepObserver(duration);
    QPointer<CancellationToken> token = cancellation;
    if (token && token->isCancelled())
        co_return Error::cancelled();

    using namespace std::chrono;
    const auto scaled = duration_cast<milliseconds>(duration * timeScale);
    QTimer timer;
    timer.setSingleShot(true);
    timer.setTimerType(Qt::PreciseTimer);
    if (token)
        QObject::connect(token, &CancellationToken::cancelled, &timer, [&timer] { timer.start(0); });
    timer.start(scaled);
    co_await timer;

    if (token && token->isCancelled())
        co_return Error::cancelled();
    co_return Result<void>();
}
