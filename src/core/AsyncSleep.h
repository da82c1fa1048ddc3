#pragma once

#include "Result.h"

#include <QCoro/QCoroTask>

#include <chrono>
#include <functional>

class CancellationToken;

// An asynchronous wait that holds no thread and ends early, with the cancellation error, when
// its token is cancelled.
class AsyncSleep
{
public:
    static QCoro::Task<Result<void>> sleep(std::chrono::nanoseconds duration,
                                           CancellationToken *cancellation);

    // Test hooks: every requested duration is reported as asked for, then waited for
    // `duration * scale` (0 waits for the next event loop turn).
    using Observer = std::function<void(std::chrono::nanoseconds)>;
    static void setObserver(Observer observer);
    static void setTimeScale(double scale);
};
