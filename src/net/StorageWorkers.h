#pragma once

#include <QFuture>
#include <QPromise>

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <type_traits>
#include <vector>

// Threads for the storage requests and the file work around them: started when work finds none
// idle, up to a limit, and kept, so that a request never waits for a thread to start. Unlike Qt's
// pool threads, which are detached, they are joined when the workers go. A thread has then
// finished freeing its OpenSSL state, which it does on its way out, before OpenSSL's own clean-up
// at exit.
class StorageWorkers
{
public:
    explicit StorageWorkers(std::size_t maxThreads);
    ~StorageWorkers();
    StorageWorkers(const StorageWorkers &) = delete;
    StorageWorkers &operator=(const StorageWorkers &) = delete;

    template<typename Work>
    QFuture<std::invoke_result_t<Work>> run(Work work)
    {
        using Answer = std::invoke_result_t<Work>;
        auto promise = std::make_shared<QPromise<Answer>>();
        QFuture<Answer> future = promise->future();
        promise->start();
        post([promise, work = std::move(work)]() mutable {
            promise->addResult(work());
            promise->finish();
        });
        return future;
    }

    // Starts a thread, unless one is idle, and waits until it is up.
    void warmUp();

private:
    void post(std::function<void()> task);
    void serve();

    const std::size_t m_maxThreads;
    std::mutex m_mutex;
    std::condition_variable m_ready;
    std::deque<std::function<void()>> m_tasks;
    std::vector<std::thread> m_threads;
    std::size_t m_idle = 0;
    bool m_stopping = false;
};
