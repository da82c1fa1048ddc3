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

// An upload killed once storage held half its parts, then resumed by a new session.
struct ResumeCase
{
    qint64 bytes = 0;
    qint64 partSize = 0;
    int partsStoredAtResume = 0;
    qint64 missingBytes = 0; // what storage lacked when the resume began
    qint64 resumeSentBytes = 0; // part bodies storage received from the resumed run
    double resumeSeconds = 0.0;
    bool objectComplete = false; // registered, and the stored object is the file
    QStringList failures;

    qint64 sentAgainBytes() const { return resumeSentBytes - missingBytes; }
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
    UploadCase perFile; // a tiny file to the sink: what a file costs beyond its bytes
    UploadCase store; // devservice with s3rver
    ResumeCase resume; // through the devservice too
    QList<double> firstFrameMs;
    QString firstFrameFailure; // why the start-up could not be measured
};

// RESULTS.md: the machine, the command, the figures against their targets, every run.
QString composeReport(const BenchFigures &figures);
