#pragma once

#include <QCoro/QCoroTask>
#include <QEventLoop>
#include <QTimer>

#include <chrono>
#include <memory>
#include <optional>

// Runs the event loop until `task` finished, or gives up after `limit` (none then), so that a
// broken cancellation or a lost answer fails a test instead of hanging it. The task keeps its
// own state, so giving up leaves nothing dangling behind. Unlike QCoro::waitFor it does not
// need a default-constructible result.
template<typename T>
std::optional<T> finishWithin(QCoro::Task<T> &&task, std::chrono::milliseconds limit = std::chrono::seconds(20))
{
    struct State
    {
        std::optional<T> result;
        QEventLoop loop;
    };
    auto state = std::make_shared<State>();
    auto runner = [](QCoro::Task<T> awaited, std::shared_ptr<State> into) -> QCoro::Task<> {
        into->result.emplace(co_await std::move(awaited));
        into->loop.quit();
    };
    auto running = runner(std::move(task), state);
    if (!state->result) {
        QTimer::singleShot(limit, &state->loop, &QEventLoop::quit);
        state->loop.exec();
    }
    return std::move(state->result);
}

// The same for tasks that end by themselves.
template<typename T>
T waitForTask(QCoro::Task<T> &&task)
{
    return *finishWithin(std::move(task), std::chrono::hours(1));
}
