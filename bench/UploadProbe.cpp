#include "UploadProbe.h"

#include "BackblazePayload.h"
#include "BenchApplication.h"
#include "HttpClient.h"
#include "ProcessMemory.h"
#include "Statistics.h"
#include "StorageClient.h"
#include "UiLateness.h"
#include "UploadDriver.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>

#include <cstdio>
#include <sys/resource.h>

namespace {
// CPU time, user and system, in seconds: RUSAGE_THREAD for the calling thread, RUSAGE_SELF
// for the whole process.
double cpuSeconds(int who)
{
    rusage usage{};
    getrusage(who, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
            + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

QCoro::Task<> upload(BackblazePayload session, QString filePath, QString resultPath, bool watchUiThread)
{
    // The application has its network client, and has started libcurl, long before the first upload.
    HttpClient::manager();
    StorageClient::initialiseLibrary();
    const qint64 idleRssKiB = ProcessMemory::residentKiB();
    const bool peakReset = ProcessMemory::resetPeak();
    UiLateness lateness;
    if (watchUiThread) {
        lateness.start();
        static_cast<BenchApplication *>(QCoreApplication::instance())->startTimingEvents();
    }
    const double uiCpuAtStart = cpuSeconds(RUSAGE_THREAD);
    const double cpuAtStart = cpuSeconds(RUSAGE_SELF);
    QElapsedTimer clock;
    clock.start();
    const std::optional<QUrl> completion = session.completeUploadUrl.isEmpty()
            ? std::nullopt
            : std::optional<QUrl>(QUrl(session.completeUploadUrl));
    const bool stored = co_await uploadFileSequentially(QUrl::fromLocalFile(QFileInfo(filePath).absoluteFilePath()),
                                                        session.chunkSize, session.presignedChunkUrls,
                                                        completion, [](const QString &) {});
    const double seconds = double(clock.nsecsElapsed()) / 1e9;
    const double uiCpuSeconds = cpuSeconds(RUSAGE_THREAD) - uiCpuAtStart;
    const double processCpuSeconds = cpuSeconds(RUSAGE_SELF) - cpuAtStart;
    lateness.stop();

    QJsonObject result{
        {QStringLiteral("stored"), stored},
        {QStringLiteral("bytes"), QFileInfo(filePath).size()},
        {QStringLiteral("seconds"), seconds},
        {QStringLiteral("idleRssKiB"), idleRssKiB},
        {QStringLiteral("peakRssKiB"), ProcessMemory::peakResidentKiB()},
        {QStringLiteral("peakReset"), peakReset},
        {QStringLiteral("uiCpuSeconds"), uiCpuSeconds},
        {QStringLiteral("cpuSeconds"), processCpuSeconds},
    };
    if (watchUiThread) {
        result.insert(QStringLiteral("lateMaxMs"), Statistics::maximum(lateness.samples()));
        result.insert(QStringLiteral("lateP99Ms"), Statistics::percentile(lateness.samples(), 99.0));
        result.insert(QStringLiteral("lateSamples"), lateness.samples().size());
        const auto *application = static_cast<BenchApplication *>(QCoreApplication::instance());
        result.insert(QStringLiteral("longestUiEventMs"), application->longestEventMs());
        result.insert(QStringLiteral("longestUiEventCpuMs"), application->longestEventCpuMs());
        result.insert(QStringLiteral("longestUiEventCpuName"), application->longestEventCpuName());
    }
    QFile out(resultPath);
    const bool written = out.open(QIODevice::WriteOnly | QIODevice::Truncate)
            && out.write(QJsonDocument(result).toJson(QJsonDocument::Compact)) > 0;
    QCoreApplication::exit(written && stored ? 0 : 1);
}
}

int runUploadProbe(const QString &sessionPath, const QString &filePath, const QString &resultPath,
                   bool watchUiThread)
{
    QFile sessionFile(sessionPath);
    if (!sessionFile.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "cannot read %s\n", qPrintable(sessionPath));
        return 2;
    }
    auto session = BackblazePayload::decode(sessionFile.readAll());
    if (!session) {
        std::fprintf(stderr, "%s: %s\n", qPrintable(sessionPath), qPrintable(session.error().description()));
        return 2;
    }
    QCoro::Task<> running;
    QTimer::singleShot(0, [&] { running = upload(std::move(session).value(), filePath, resultPath, watchUiThread); });
    return QCoreApplication::exec();
}
