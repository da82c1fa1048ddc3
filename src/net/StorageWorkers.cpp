#include "StorageWorkers.h"

#include <QThread>

#include <latch>

StorageWorkers::StorageWorkers(std::size_t maxThreads)
    : m_maxThreads(maxThreads)
{
}

StorageWorkers::~StorageWorkers()
{
    {
        const std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_ready.notify_all();
    for (std::thread &thread : m_threads)
        thread.join();
}

void StorageWorkers::warmUp()
{
    std::latch started(1);
    post([&started] { started.count_down(); });
    started.wait();
}

void StorageWorkers::post(std::function<void()> task)
{
    {
        const std::lock_guard lock(m_mutex);
        m_tasks.push_back(std::move(task));
        if (m_tasks.size() > m_idle && m_threads.size() < m_maxThreads) {
            ++m_idle;
            m_threads.emplace_back([this] { serve(); });
        }
    }
    m_ready.notify_one();
}

void StorageWorkers::serve()
{
    // Qt adopts the thread now rather than when it first answers, on an upload's critical path.
    QThread::currentThread();
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_ready.wait(lock, [this] { return m_stopping || !m_tasks.empty(); });
        if (m_tasks.empty())
            return;
        std::function<void()> task = std::move(m_tasks.front());
        m_tasks.pop_front();
        --m_idle;
        lock.unlock();
        task();
        task = nullptr; // what it holds goes here, outside the lock
        lock.lock();
        ++m_idle;
    }
}
