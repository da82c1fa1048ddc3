#pragma once

#include <QGuiApplication>

// The GUI application the benchmark runs in. While timing, it records the longest time one
// event handled on the UI thread took, by the wall clock and in CPU time of that thread: the
// UI thread's own share of any lateness, as against waiting for a CPU.
class BenchApplication : public QGuiApplication
{
public:
    using QGuiApplication::QGuiApplication;

    void startTimingEvents();
    double longestEventMs() const { return double(m_longestEventNs) / 1e6; }
    double longestEventCpuMs() const { return double(m_longestEventCpuNs) / 1e6; }
    // The receiver's class and the event's type, for the longest in CPU time.
    const QString &longestEventCpuName() const { return m_longestEventCpuName; }

    bool notify(QObject *receiver, QEvent *event) override;

private:
    bool m_timing = false;
    int m_depth = 0;
    qint64 m_longestEventNs = 0;
    qint64 m_longestEventCpuNs = 0;
    QString m_longestEventCpuName;
};
