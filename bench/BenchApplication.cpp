#include "BenchApplication.h"

#include <QElapsedTimer>
#include <QEvent>
#include <QThread>

#include <ctime>

namespace {
qint64 threadCpuNs()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return qint64(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}
}

void BenchApplication::startTimingEvents()
{
    m_timing = true;
    m_longestEventNs = 0;
    m_longestEventCpuNs = 0;
}

bool BenchApplication::notify(QObject *receiver, QEvent *event)
{
    // Only the outermost delivery on the UI thread: events sent from inside a handler are part
    // of its time.
    if (!m_timing || m_depth > 0 || QThread::currentThread() != thread())
        return QGuiApplication::notify(receiver, event);
    QElapsedTimer clock;
    clock.start();
    const qint64 cpuAtStart = threadCpuNs();
    ++m_depth;
    const bool handled = QGuiApplication::notify(receiver, event);
    --m_depth;
    m_longestEventNs = std::max(m_longestEventNs, clock.nsecsElapsed());
    const qint64 cpuNs = threadCpuNs() - cpuAtStart;
    if (cpuNs > m_longestEventCpuNs) {
        m_longestEventCpuNs = cpuNs;
        m_longestEventCpuName = QString::fromLatin1(receiver->metaObject()->className()) + QStringLiteral(", event ")
                + QString::number(int(event->type()));
    }
    return handled;
}
