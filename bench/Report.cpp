#include "Report.h"

#include "Statistics.h"

#include <QFile>
#include <QSysInfo>
#include <QThread>

#include <algorithm>

namespace {
constexpr double maxLatenessTargetMs = 16.0;
constexpr double p99LatenessTargetMs = 4.0;
constexpr double firstFrameTargetMs = 500.0;
constexpr double uiCpuShareTarget = 0.10;
constexpr double throughputTarget = 0.95;
constexpr double memoryHeadroomMiB = 80.0;
constexpr double mebibyte = 1024.0 * 1024.0;
constexpr double sentAgainTargetParts = 1.0;

QString procField(const QString &path, QByteArrayView name)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    // Files under /proc claim to be empty: read them whole rather than line by line.
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith(name))
            return QString::fromUtf8(line.mid(line.indexOf(':') + 1)).trimmed();
    }
    return {};
}

QString fixed(double value, int decimals = 0)
{
    return QString::number(value, 'f', decimals);
}

QString yesNo(bool met)
{
    return met ? QStringLiteral("yes") : QStringLiteral("**no**");
}

QString list(const QList<double> &values, int decimals)
{
    QStringList texts;
    for (double value : values)
        texts.append(fixed(value, decimals));
    return texts.isEmpty() ? QStringLiteral("–") : texts.join(QStringLiteral(", "));
}

double ratio(const UploadCase &c)
{
    const double curl = Statistics::median(c.curlMBps);
    return curl > 0.0 ? Statistics::median(c.oursMBps) / curl : 0.0;
}

// Each run's figure over curl's in the same run: the two went back to back, so a slow spell of
// the machine weighs on both. None when a run failed on one side and the runs no longer pair.
QList<double> ratiosByRun(const UploadCase &c)
{
    QList<double> ratios;
    if (c.oursMBps.size() != c.curlMBps.size())
        return ratios;
    for (qsizetype run = 0; run < c.oursMBps.size(); ++run) {
        if (c.curlMBps[run] > 0.0)
            ratios.append(c.oursMBps[run] / c.curlMBps[run]);
    }
    return ratios;
}

QString ratiosByRunText(const UploadCase &c)
{
    const QList<double> ratios = ratiosByRun(c);
    if (ratios.isEmpty())
        return QStringLiteral("–");
    return QStringLiteral("%1 (%2 to %3)")
            .arg(fixed(Statistics::median(ratios), 3), fixed(Statistics::minimum(ratios), 2),
                 fixed(Statistics::maximum(ratios), 2));
}

double sentAgainParts(const ResumeCase &c)
{
    return c.partSize > 0 ? double(c.sentAgainBytes()) / double(c.partSize) : 0.0;
}

QString resumeTitle(const ResumeCase &c)
{
    return QStringLiteral("%1 MiB in %2 MiB parts, killed at 50 %")
            .arg(fixed(double(c.bytes) / mebibyte), fixed(double(c.partSize) / mebibyte));
}

double memoryLimitMiB(const UploadCase &c)
{
    return c.partSize > 0 ? 2.0 * double(c.partSize) / mebibyte + memoryHeadroomMiB : memoryHeadroomMiB;
}

// Multipart: the whole resident size counts; one PUT: only what the upload added to it.
double memoryFigureMiB(const UploadCase &c)
{
    const double peak = Statistics::median(c.peakRssMiB);
    return c.partSize > 0 ? peak : peak - Statistics::median(c.idleRssMiB);
}

QString machineSection(const BenchFigures &f)
{
    const double memoryGiB = procField(QStringLiteral("/proc/meminfo"), "MemTotal").section(u' ', 0, 0).toDouble()
            / 1024.0 / 1024.0;
    QString text = QStringLiteral("## Machine\n\n| | |\n|---|---|\n");
    text += QStringLiteral("| CPU | %1, %2 logical CPUs (nproc) |\n")
                    .arg(procField(QStringLiteral("/proc/cpuinfo"), "model name"))
                    .arg(QThread::idealThreadCount());
    text += QStringLiteral("| Memory | %1 GiB |\n").arg(fixed(memoryGiB, 1));
    text += QStringLiteral("| Kernel | %1 %2 (%3) |\n")
                    .arg(QSysInfo::kernelType(), QSysInfo::kernelVersion(), QSysInfo::prettyProductName());
    text += QStringLiteral("| Load average (1, 5, 15 min; running/total) | at start %1; at end %2 |\n")
                    .arg(f.loadAtStart, f.loadAtEnd);
    text += QStringLiteral("| 1-minute load as the runs started | %1 to %2, median %3 |\n")
                    .arg(fixed(Statistics::minimum(f.loadDuringRuns), 2),
                         fixed(Statistics::maximum(f.loadDuringRuns), 2), fixed(Statistics::median(f.loadDuringRuns), 2));
    text += QStringLiteral("| Tools | %1 |\n\n").arg(f.toolVersions.join(QStringLiteral("; ")));
    return text;
}

QString targetsSection(const BenchFigures &f)
{
    QString text = QStringLiteral("## Targets\n\n| Figure | Target | Measured | Met |\n|---|---|---|---|\n");
    for (const UploadCase &c : f.sink) {
        text += QStringLiteral("| Throughput, %1 | ≥ %2 × curl | %3 × curl (%4 vs %5 MB/s) | %6 |\n")
                        .arg(c.title, fixed(throughputTarget, 2), fixed(ratio(c), 3),
                             fixed(Statistics::median(c.oursMBps)), fixed(Statistics::median(c.curlMBps)),
                             yesNo(ratio(c) >= throughputTarget));
    }
    for (const UploadCase &c : f.sink) {
        const bool multipart = c.partSize > 0;
        text += QStringLiteral("| %1, %2 | ≤ %3 MiB%4 | %5 MiB | %6 |\n")
                        .arg(multipart ? QStringLiteral("Peak RSS") : QStringLiteral("Peak RSS above idle"), c.title,
                             fixed(memoryLimitMiB(c)),
                             multipart ? QStringLiteral(" (2 × part + 80 MiB)") : QString(),
                             fixed(memoryFigureMiB(c), 1), yesNo(memoryFigureMiB(c) <= memoryLimitMiB(c)));
    }
    for (const UploadCase &c : f.sink) {
        const double worst = Statistics::median(c.lateMaxMs);
        const double p99 = Statistics::median(c.lateP99Ms);
        text += QStringLiteral("| UI timer lateness, %1 | max ≤ %2 ms, p99 ≤ %3 ms | max %4 ms, p99 %5 ms | %6 |\n")
                        .arg(c.title, fixed(maxLatenessTargetMs), fixed(p99LatenessTargetMs), fixed(worst, 2),
                             fixed(p99, 2), yesNo(worst <= maxLatenessTargetMs && p99 <= p99LatenessTargetMs));
    }
    for (const UploadCase &c : f.sink) {
        const double share = Statistics::median(c.uiCpuShare);
        text += QStringLiteral("| UI-thread CPU / upload time, %1 | < %2 % | %3 % | %4 |\n")
                        .arg(c.title, fixed(100.0 * uiCpuShareTarget), fixed(100.0 * share, 1),
                             yesNo(share < uiCpuShareTarget));
    }
    if (f.resume.failures.isEmpty()) {
        text += QStringLiteral("| Sent again by the resume, %1 | ≤ %2 part | %3 bytes (%4 parts) | %5 |\n")
                        .arg(resumeTitle(f.resume), fixed(sentAgainTargetParts))
                        .arg(f.resume.sentAgainBytes())
                        .arg(fixed(sentAgainParts(f.resume), 2), yesNo(sentAgainParts(f.resume) <= sentAgainTargetParts));
    } else {
        text += QStringLiteral("| Sent again by a resume after a kill at 50 % | ≤ %1 part | not measured: %2 | – |\n")
                        .arg(fixed(sentAgainTargetParts), f.resume.failures.join(QStringLiteral("; ")));
    }
    if (f.firstFrameMs.isEmpty()) {
        text += QStringLiteral("| First frame of the sign-in window | ≤ %1 ms | not measured: %2 | – |\n")
                        .arg(fixed(firstFrameTargetMs), f.firstFrameFailure);
    } else {
        const double firstFrame = Statistics::median(f.firstFrameMs);
        text += QStringLiteral("| First frame of the sign-in window | ≤ %1 ms | %2 ms | %3 |\n")
                        .arg(fixed(firstFrameTargetMs), fixed(firstFrame), yesNo(firstFrame <= firstFrameTargetMs));
    }
    return text + u'\n';
}

QList<double> millisecondsOf(qint64 bytes, const QList<double> &megabytesPerSecond)
{
    QList<double> times;
    for (double rate : megabytesPerSecond)
        times.append(rate > 0.0 ? double(bytes) / 1e3 / rate : 0.0);
    return times;
}

// A file so small that its bytes take no time: what is left is what each file costs.
QString perFileText(const UploadCase &c)
{
    const QList<double> ours = millisecondsOf(c.bytes, c.oursMBps);
    const QList<double> curl = millisecondsOf(c.bytes, c.curlMBps);
    if (ours.isEmpty() || ours.size() != curl.size())
        return QStringLiteral("What a file costs beyond its bytes: not measured (%1).\n\n")
                .arg(c.failures.isEmpty() ? QStringLiteral("the runs do not pair") : c.failures.join(QStringLiteral("; ")));
    QList<double> extra;
    for (qsizetype run = 0; run < ours.size(); ++run)
        extra.append(ours[run] - curl[run]);
    return QStringLiteral("What a file costs beyond its bytes, from %1 runs of %2: uploadFileSequentially %3 ms, "
                          "curl %4 ms (medians); run by run, ours took %5 ms more (median; %6 to %7 ms).\n\n")
            .arg(QString::number(ours.size()), c.title, fixed(Statistics::median(ours), 2),
                 fixed(Statistics::median(curl), 2), fixed(Statistics::median(extra), 2),
                 fixed(Statistics::minimum(extra), 2), fixed(Statistics::maximum(extra), 2));
}

QString throughputSection(const BenchFigures &f)
{
    QString text = QStringLiteral(
            "## Throughput against curl (nginx discard sink on 127.0.0.1)\n\n"
            "| Case | uploadFileSequentially | curl | ratio | ratio run by run: median (range) "
            "| CPU time, ours / curl | connections per curl run |\n"
            "|---|---|---|---|---|---|---|\n");
    for (const UploadCase &c : f.sink) {
        text += QStringLiteral("| %1 | %2 MB/s | %3 MB/s | %4 | %5 | %6 s / %7 s | %8 |\n")
                        .arg(c.title, fixed(Statistics::median(c.oursMBps)), fixed(Statistics::median(c.curlMBps)),
                             fixed(ratio(c), 2), ratiosByRunText(c), fixed(Statistics::median(c.oursCpuSeconds), 2),
                             fixed(Statistics::median(c.curlCpuSeconds), 2))
                        .arg(c.curlConnections);
    }
    return text + u'\n' + perFileText(f.perFile);
}

QString memorySection(const BenchFigures &f)
{
    QString text = QStringLiteral("## Memory of the uploading process\n\n"
                                  "| Case | idle RSS | peak RSS during the upload | peak − idle | limit |\n"
                                  "|---|---|---|---|---|\n");
    for (const UploadCase &c : f.sink) {
        const double idle = Statistics::median(c.idleRssMiB);
        const double peak = Statistics::median(c.peakRssMiB);
        text += QStringLiteral("| %1 | %2 MiB | %3 MiB | %4 MiB | %5 MiB %6 |\n")
                        .arg(c.title, fixed(idle, 1), fixed(peak, 1), fixed(peak - idle, 1), fixed(memoryLimitMiB(c)),
                             c.partSize > 0 ? QStringLiteral("peak") : QStringLiteral("above idle"));
    }
    return text + u'\n';
}

QString smoothnessSection(const BenchFigures &f)
{
    QString text = QStringLiteral(
            "## UI-thread smoothness (1 ms timer during the upload)\n\n"
            "| Case | max lateness (median of runs) | worst run | p99 (median of runs) "
            "| longest UI event, wall clock (worst run) | longest UI event, UI-thread CPU (worst run) "
            "| UI-thread CPU / upload time |\n|---|---|---|---|---|---|---|\n");
    for (const UploadCase &c : f.sink) {
        text += QStringLiteral("| %1 | %2 ms | %3 ms | %4 ms | %5 ms | %6 ms | %7 % |\n")
                        .arg(c.title, fixed(Statistics::median(c.lateMaxMs), 2),
                             fixed(Statistics::maximum(c.lateMaxMs), 2), fixed(Statistics::median(c.lateP99Ms), 2),
                             fixed(Statistics::maximum(c.longestUiEventMs), 2),
                             fixed(Statistics::maximum(c.longestUiEventCpuMs), 2),
                             fixed(100.0 * Statistics::median(c.uiCpuShare)));
    }
    text += QStringLiteral("\nThe longest event in CPU time is what the transfer itself holds the UI thread for; the "
                           "same event by the wall clock also counts the time the thread waited for a CPU. The "
                           "longest in CPU time, by receiver and event type:\n\n");
    for (const UploadCase &c : f.sink) {
        const auto worst = std::max_element(c.longestUiEventCpuMs.begin(), c.longestUiEventCpuMs.end());
        if (worst == c.longestUiEventCpuMs.end())
            continue;
        text += QStringLiteral("- %1: %2 ms, %3\n")
                        .arg(c.title, fixed(*worst, 2),
                             c.longestUiEventCpuNames.value(worst - c.longestUiEventCpuMs.begin()));
    }
    return text + u'\n';
}

QString storeSection(const BenchFigures &f)
{
    const UploadCase &c = f.store;
    QString text = QStringLiteral("## Through the local S3 store (devservice with s3rver)\n\n");
    text += QStringLiteral("%1 parts of %2 MiB and the completion, session requests not counted.\n\n")
                    .arg(c.partSize > 0 ? (c.bytes + c.partSize - 1) / c.partSize : 0)
                    .arg(double(c.partSize) / mebibyte);
    text += QStringLiteral("| | uploadFileSequentially | curl | ratio |\n|---|---|---|---|\n");
    text += QStringLiteral("| %1 | %2 MB/s | %3 MB/s | %4 |\n")
                    .arg(c.title, fixed(Statistics::median(c.oursMBps)), fixed(Statistics::median(c.curlMBps)),
                         fixed(ratio(c), 2));
    for (const UploadCase &sink : f.sink) {
        if (sink.partSize == c.partSize && Statistics::median(sink.curlMBps) > 0.0) {
            text += QStringLiteral("\ncurl reaches %1 MB/s to the store against %2 MB/s to the discard sink with the "
                                   "same part size: the store itself costs %3 % of the time.\n")
                            .arg(fixed(Statistics::median(c.curlMBps)), fixed(Statistics::median(sink.curlMBps)),
                                 fixed(100.0 * (1.0 - Statistics::median(c.curlMBps) / Statistics::median(sink.curlMBps))));
        }
    }
    return text + u'\n';
}

QString resumeSection(const BenchFigures &f)
{
    const ResumeCase &c = f.resume;
    QString text = QStringLiteral("## Resume after a kill (devservice with s3rver)\n\n");
    if (!c.failures.isEmpty())
        return text + QStringLiteral("Not measured: %1.\n\n").arg(c.failures.join(QStringLiteral("; ")));
    text += QStringLiteral("| | |\n|---|---|\n");
    text += QStringLiteral("| File | %1 bytes, %2 parts of %3 bytes |\n")
                    .arg(c.bytes)
                    .arg((c.bytes + c.partSize - 1) / c.partSize)
                    .arg(c.partSize);
    text += QStringLiteral("| Parts storage held when the resume began | %1 |\n").arg(c.partsStoredAtResume);
    text += QStringLiteral("| Bytes storage lacked then | %1 |\n").arg(c.missingBytes);
    text += QStringLiteral("| Part bytes the resumed run sent | %1 |\n").arg(c.resumeSentBytes);
    text += QStringLiteral("| Sent again | %1 bytes, %2 parts |\n").arg(c.sentAgainBytes()).arg(fixed(sentAgainParts(c), 2));
    text += QStringLiteral("| Resumed run, from `resumeUpload()` to \"Upload completed!\" | %1 s |\n").arg(fixed(c.resumeSeconds, 1));
    text += QStringLiteral("| Stored object identical to the file, registered once | %1 |\n\n").arg(yesNo(c.objectComplete));
    return text;
}

QString startupSection(const BenchFigures &f)
{
    QString text = QStringLiteral("## Start-up\n\n");
    if (f.firstFrameMs.isEmpty())
        return text + QStringLiteral("Not measured: %1.\n\n").arg(f.firstFrameFailure);
    return text + QStringLiteral("From starting `vellumcast-uploader` to its first frame: %1 ms (median; runs: %2 ms).\n\n")
                          .arg(fixed(Statistics::median(f.firstFrameMs)), list(f.firstFrameMs, 0));
}

QString runsSection(const BenchFigures &f)
{
    QString text = QStringLiteral("## Every run\n\n");
    QList<UploadCase> cases = f.sink;
    cases.append(f.store);
    for (const UploadCase &c : cases) {
        text += QStringLiteral("- %1: uploadFileSequentially %2 MB/s; curl %3 MB/s; peak RSS %4 MiB")
                        .arg(c.title, list(c.oursMBps, 0), list(c.curlMBps, 0), list(c.peakRssMiB, 1));
        if (!c.lateMaxMs.isEmpty()) {
            text += QStringLiteral("; UI max %1 ms, p99 %2 ms").arg(list(c.lateMaxMs, 2), list(c.lateP99Ms, 2));
        }
        text += u'\n';
        for (const QString &failure : c.failures)
            text += QStringLiteral("  - failed: %1\n").arg(failure);
    }
    return text + u'\n';
}

const char methodText[] =
        "## Method\n\n"
        "- Build: the `release` preset (RelWithDebInfo) in `build/bench`, with the service and update-feed URLs "
        "pointed at a closed loopback port so that nothing measured leaves the machine.\n"
        "- Sink: nginx, one worker, `client_max_body_size 0`, `return 200` with an ETag: the body is read and "
        "discarded in memory, nothing is written to disk. Loopback only.\n"
        "- Test files: pseudo-random bytes written and flushed to disk before anything is timed, so both sides "
        "read them from the page cache. curl sends each part from a file of its own, cut from the same file.\n"
        "- uploadFileSequentially: the release build's driver, in a process of its own per run (`vellumcast-bench "
        "upload`), on the UI thread of a QGuiApplication (offscreen), timed from the call to its answer, "
        "completion included. The session's URLs point at the sink; the single-PUT case has one URL.\n"
        "- curl: one process per run, one transfer per `--next` (the connection count shows the connection "
        "was kept alive), the same requests in the same order (parts, then the completion POST), "
        "`Content-Type: application/octet-stream`, `Expect:` turned off as the application does not send it. "
        "Its time is the sum of the transfers' `time_total`, so its process start-up is not counted either.\n"
        "- The two alternate, the order swapped every run; figures are medians of the runs. The ratio is "
        "that of the medians; run by run, each run's figure is divided by curl's in the same run. The "
        "256 MiB PUT and the 4 KiB file, being short, run four times as often.\n"
        "- Memory: VmRSS just before the upload, then VmHWM after resetting it (`/proc/self/clear_refs`), so the "
        "peak covers the upload alone.\n"
        "- UI thread: separate runs with a 1 ms precise QTimer on the UI thread; each interval beyond 1 ms is one "
        "lateness sample; the run's maximum and 99th percentile are reported. The same runs time every event the "
        "UI thread handles, by the wall clock and in the thread's CPU time, and the thread's CPU time over the "
        "upload.\n"
        "- CPU time: user and system time of the uploading process during the upload (getrusage), and of the curl "
        "process over its whole run.\n"
        "- Start-up: `vellumcast-uploader` started with `QT_QPA_PLATFORM=offscreen`, an empty home (so the sign-in "
        "window opens) and `QT_LOGGING_RULES=qt.scenegraph.time.renderloop=true`; the time from starting the "
        "process to the scene graph's first \"Frame rendered\" line. One warm-up run is not counted.\n"
        "- Local S3 store: the devservice's default session (8 MiB parts) for a 256 MiB file, a new session per "
        "run; curl sends the same parts and the completion document with the ETags the store answers.\n"
        "- Resume after a kill: `vellumcast-bench upload-child` signs in with the demo key and uploads the 256 MiB "
        "file as a \"2D\" video through the devservice, its preferences and upload record in the work folder; the "
        "suite polls the store's request log and kills it (SIGKILL) once storage answered 200 to half the parts, then "
        "resumes in-process with a new session manager and upload screen, as the next start would. Sent again = "
        "the part bytes storage received from the resumed run − (file size − bytes of the parts storage had "
        "answered 200 to when the resume began). One run: the figure depends only on which part was in flight.\n";
}

QString composeReport(const BenchFigures &f)
{
    QString text = QStringLiteral("# Transfer benchmark\n\n");
    text += QStringLiteral("Latest run: `%1`, %2 to %3. Figures are medians of %4 runs; MB/s means 10^6 bytes per "
                           "second, MiB 2^20 bytes.\n\n")
                    .arg(f.command, f.started.toString(Qt::ISODate), f.finished.toString(Qt::ISODate))
                    .arg(f.runs);
    return text + machineSection(f) + targetsSection(f) + throughputSection(f) + memorySection(f)
            + smoothnessSection(f) + storeSection(f) + resumeSection(f) + startupSection(f) + runsSection(f)
            + QString::fromUtf8(methodText);
}
