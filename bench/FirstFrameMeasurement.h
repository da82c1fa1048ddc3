#pragma once

#include <QList>
#include <QString>

struct FirstFrameTimes
{
    QList<double> milliseconds; // one per run; none when a run failed
    QString failure; // why not
};

// From starting `appPath` to the scene graph's report of its first frame, `runs` times after one
// run that only warms the caches. Each run has an empty home of its own under `workDirectory`, so
// the sign-in window opens; the application is not told that it is being measured.
FirstFrameTimes measureFirstFrame(const QString &appPath, int runs, const QString &workDirectory);
