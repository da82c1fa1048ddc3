#pragma once

#include <QElapsedTimer>
#include <QList>
#include <QTimer>

// How late a 1 ms timer on the calling thread fires while that thread has other work: each
// interval between two firings beyond the 1 ms asked for is one sample, in milliseconds.
class UiLateness
{
public:
    UiLateness();

    void start();
    void stop();

    const QList<double> &samples() const { return m_samples; }

private:
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_lastFiredNs = 0;
    QList<double> m_samples;
};
