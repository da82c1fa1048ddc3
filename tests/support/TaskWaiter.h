#pragma once

#include <QCoro/QCoroTask>
#include <QEventLoop>

#include <optional>

// Runs the event loop until `task` has finished and hands back its value. Unlike
// QCoro::waitFor it does not need a default-constructible result.
template<typename T>
T waitForTask(QCoro::Task<T> &&task)
{
    std::optional<T> result;
    QEventLoop loop;
    auto runner = [](QCoro::Task<T> awaited, std::optional<T> &into, QEventLoop &done) -> QCoro::Task<> {
        into.emplace(co_await std::move(awaited));
        done.quit();
    };
    auto running = runner(std::move(task), result, loop);
    if (!result)
        loop.exec();
    return std::move(*result);
}
