#include "UiLateness.h"

#include <algorithm>

namespace {
constexpr qint64 intervalNs = 1'000'000;
}

UiLateness::UiLateness()
{
    m_timer.setTimerType(Qt::PreciseTimer);
    m_timer.setInterval(1);
    QObject::connect(&m_timer, &QTimer::timeout, [this] {
        const qint64 now = m_clock.nsecsElapsed();
        m_samples.append(double(std::max<qint64>(0, now - m_lastFiredNs - intervalNs)) / 1e6);
        m_lastFiredNs = now;
    });
}

void UiLateness::start()
{
    m_samples.clear();
    m_samples.reserve(1 << 16);
    m_clock.start();
    m_lastFiredNs = 0;
    m_timer.start();
}

void UiLateness::stop()
{
    m_timer.stop();
}
