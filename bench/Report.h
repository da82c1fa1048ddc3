#pragma once

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

// One upload measured against curl: every run's figure, in run order.
struct UploadCase
{
    QString title;
    qint64 bytes = 0;
    qint64 partSize = 0; // 0: the whole file in one PUT
    QList<double> oursMBps;
    QList<double> curlMBps;
    QList<double> oursCpuSeconds; // the uploading process's, during the upload
    QList<double> curlCpuSeconds;
    QList<double> idleRssMiB; // just before the upload
    QList<double> peakRssMiB; // highest during the upload
    QList<double> lateMaxMs; // runs with the 1 ms UI timer
    QList<double> lateP99Ms;
    QList<double> longestUiEventMs; // the longest event the UI thread handled, by the wall clock
    QList<double> longestUiEventCpuMs; // the longest in CPU time of the UI thread
    QStringList longestUiEventCpuNames; // its receiver's class and event type
    QList<double> uiCpuShare; // UI-thread CPU time over the upload's duration
    int curlConnections = 0; // most connections one curl run opened
    QStringList failures;
};

struct BenchFigures
{
    QString command;
    QDateTime started;
    QDateTime finished;
    QString loadAtStart; // /proc/loadavg
    QString loadAtEnd;
    QList<double> loadDuringRuns; // 1-minute load average as each run started
    QStringList toolVersions;
    int runs = 0;
    QList<UploadCase> sink; // nginx discard sink
    UploadCase store; // devservice with s3rver
    QList<double> firstFrameMs;
    QString firstFrameFailure; // why the start-up could not be measured
};

// RESULTS.md: the machine, the command, the figures against their targets, every run.
QString composeReport(const BenchFigures &figures);
