#pragma once

#include <QString>

// One upload in this process, as the application runs it: `uploadFileSequentially` on the UI
// thread with the session in `sessionPath`. Writes its figures as a JSON object to `resultPath`:
// stored, bytes, seconds, idleRssKiB (just before the upload), peakRssKiB (highest resident
// size during it), cpuSeconds (the process's) and uiCpuSeconds (the UI thread's) during it and,
// with `watchUiThread`, the lateness of a 1 ms UI timer (lateMaxMs,
// lateP99Ms, lateSamples). Answers the process exit status.
int runUploadProbe(const QString &sessionPath, const QString &filePath, const QString &resultPath,
                   bool watchUiThread);
