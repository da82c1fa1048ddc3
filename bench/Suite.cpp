#include "Suite.h"

#include "APIService.h"
#include "BackblazePayload.h"
#include "CompletedPart.h"
#include "CurlRun.h"
#include "Diagnostics.h"
#include "FirstFrameMeasurement.h"
#include "Report.h"
#include "ResumeMeasurement.h"
#include "SinkSession.h"
#include "TaskWaiter.h"
#include "TestData.h"
#include "UploadCompletion.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QtConcurrent>

#include <cstdio>
#include <functional>

namespace {
constexpr qint64 mebibyte = 1024 * 1024;
constexpr int probeTimeoutMs = 600'000;
constexpr int shortCaseRunsPerRun = 4;

void progress(const QString &line)
{
    std::fprintf(stderr, "bench: %s\n", qPrintable(line));
}

double megabytesPerSecond(qint64 bytes, double seconds)
{
    return seconds > 0.0 ? double(bytes) / 1e6 / seconds : 0.0;
}

QString readProcFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()).trimmed() : QString();
}

QString firstOutputLine(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (!process.waitForFinished(10'000))
        return program + QStringLiteral(" (version unknown)");
    return QString::fromUtf8(process.readAll()).section(u'\n', 0, 0).trimmed();
}

class Suite
{
public:
    explicit Suite(SuiteOptions options)
        : m_options(std::move(options))
        , m_work(m_options.workDirectory)
    {
    }

    int run();

private:
    struct ProbeOutcome
    {
        bool ok = false;
        double seconds = 0.0;
        double idleRssMiB = 0.0;
        double peakRssMiB = 0.0;
        double lateMaxMs = 0.0;
        double lateP99Ms = 0.0;
        double longestUiEventMs = 0.0;
        double longestUiEventCpuMs = 0.0;
        QString longestUiEventCpuName;
        double uiCpuShare = 0.0;
        double cpuSeconds = 0.0;
        QString failure;
    };

    using NextSession = std::function<Result<BackblazePayload>()>;

    ProbeOutcome probe(const BackblazePayload &session, const QString &file, bool watchUiThread);
    QList<CurlTransfer> curlTransfers(const BackblazePayload &session, const QString &file,
                                      const QList<QString> &partFiles, const QList<QByteArray> &eTags);
    void compareWithCurl(UploadCase &figures, const QString &file, const QList<QString> &partFiles,
                         const QList<QByteArray> &eTags, const NextSession &nextSession, bool watchUiThread,
                         int runs);
    void measureSink(const TestData &data);
    void measureStore(const TestData &data);

    SuiteOptions m_options;
    QDir m_work;
    BenchFigures m_figures;
};

Suite::ProbeOutcome Suite::probe(const BackblazePayload &session, const QString &file, bool watchUiThread)
{
    ProbeOutcome outcome;
    const QString sessionPath = m_work.filePath(QStringLiteral("session.json"));
    const QString resultPath = m_work.filePath(QStringLiteral("probe-result.json"));
    QFile::remove(resultPath);
    QFile sessionFile(sessionPath);
    if (!sessionFile.open(QIODevice::WriteOnly | QIODevice::Truncate) || sessionFile.write(sessionJson(session)) < 0) {
        outcome.failure = QStringLiteral("cannot write ") + sessionPath;
        return outcome;
    }
    sessionFile.close();

    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    process.setProcessEnvironment(environment);
    // The transfer's own diagnostic lines; the figures come back through the result file.
    process.setStandardOutputFile(QProcess::nullDevice());
    QStringList arguments{QStringLiteral("upload"), sessionPath, file, resultPath};
    if (watchUiThread)
        arguments.append(QStringLiteral("--watch-ui"));
    process.start(QCoreApplication::applicationFilePath(), arguments);
    if (!process.waitForFinished(probeTimeoutMs)) {
        process.kill();
        process.waitForFinished();
        outcome.failure = QStringLiteral("the upload did not finish");
        return outcome;
    }
    QFile resultFile(resultPath);
    const QJsonObject result = resultFile.open(QIODevice::ReadOnly)
            ? QJsonDocument::fromJson(resultFile.readAll()).object()
            : QJsonObject();
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0
        || !result.value(QStringLiteral("stored")).toBool()) {
        outcome.failure = QStringLiteral("the upload failed (exit status %1): %2")
                .arg(process.exitCode())
                .arg(QString::fromUtf8(process.readAllStandardError().trimmed().right(500)));
        return outcome;
    }
    outcome.ok = true;
    outcome.seconds = result.value(QStringLiteral("seconds")).toDouble();
    outcome.idleRssMiB = result.value(QStringLiteral("idleRssKiB")).toDouble() / 1024.0;
    outcome.peakRssMiB = result.value(QStringLiteral("peakRssKiB")).toDouble() / 1024.0;
    outcome.lateMaxMs = result.value(QStringLiteral("lateMaxMs")).toDouble();
    outcome.lateP99Ms = result.value(QStringLiteral("lateP99Ms")).toDouble();
    outcome.longestUiEventMs = result.value(QStringLiteral("longestUiEventMs")).toDouble();
    outcome.longestUiEventCpuMs = result.value(QStringLiteral("longestUiEventCpuMs")).toDouble();
    outcome.longestUiEventCpuName = result.value(QStringLiteral("longestUiEventCpuName")).toString();
    outcome.uiCpuShare = result.value(QStringLiteral("uiCpuSeconds")).toDouble() / outcome.seconds;
    outcome.cpuSeconds = result.value(QStringLiteral("cpuSeconds")).toDouble();
    if (!result.value(QStringLiteral("peakReset")).toBool())
        outcome.failure = QStringLiteral("the kernel refused to reset the peak RSS: it covers the start-up too");
    return outcome;
}

// The same requests the driver sends, in the same order: the parts, then the completion
// document naming the ETags the store answers.
QList<CurlTransfer> Suite::curlTransfers(const BackblazePayload &session, const QString &file,
                                         const QList<QString> &partFiles, const QList<QByteArray> &eTags)
{
    if (session.presignedChunkUrls.size() == 1)
        return {{session.presignedChunkUrls.first().url, file}};
    QList<PresignedChunkUrl> chunks = session.presignedChunkUrls;
    std::stable_sort(chunks.begin(), chunks.end(),
                     [](const PresignedChunkUrl &a, const PresignedChunkUrl &b) { return a.chunkId < b.chunkId; });
    QList<CurlTransfer> transfers;
    QList<CompletedPart> completed;
    for (qsizetype i = 0; i < chunks.size(); ++i) {
        transfers.append({chunks[i].url, partFiles.value(i)});
        completed.append({chunks[i].chunkId, QString::fromLatin1(eTags.value(i))});
    }
    const QString documentPath = m_work.filePath(QStringLiteral("completion.xml"));
    QFile document(documentPath);
    if (document.open(QIODevice::WriteOnly | QIODevice::Truncate))
        document.write(completionDocument(completed).toUtf8());
    transfers.append({session.completeUploadUrl, documentPath, true, "application/xml"});
    return transfers;
}

// Runs the driver and curl in turn, the order swapped every run so that neither profits
// from going first.
void Suite::compareWithCurl(UploadCase &figures, const QString &file, const QList<QString> &partFiles,
                            const QList<QByteArray> &eTags, const NextSession &nextSession, bool watchUiThread,
                            int runs)
{
    const auto runOurs = [&] {
        const Result<BackblazePayload> session = nextSession();
        if (!session) {
            figures.failures.append(QStringLiteral("no upload session: ") + session.error().description());
            return;
        }
        const ProbeOutcome outcome = probe(session.value(), file, false);
        if (!outcome.failure.isEmpty())
            figures.failures.append(outcome.failure);
        if (!outcome.ok)
            return;
        figures.oursMBps.append(megabytesPerSecond(figures.bytes, outcome.seconds));
        figures.oursCpuSeconds.append(outcome.cpuSeconds);
        figures.idleRssMiB.append(outcome.idleRssMiB);
        figures.peakRssMiB.append(outcome.peakRssMiB);
    };
    const auto runTheSameWithCurl = [&] {
        const Result<BackblazePayload> session = nextSession();
        if (!session) {
            figures.failures.append(QStringLiteral("no upload session: ") + session.error().description());
            return;
        }
        const CurlOutcome outcome = runCurl(m_options.curl, curlTransfers(session.value(), file, partFiles, eTags),
                                            m_work.filePath(QStringLiteral("curl.conf")));
        if (!outcome.ok) {
            figures.failures.append(outcome.failure);
            return;
        }
        figures.curlMBps.append(megabytesPerSecond(figures.bytes, outcome.seconds));
        figures.curlCpuSeconds.append(outcome.cpuSeconds);
        figures.curlConnections = std::max(figures.curlConnections, outcome.connections);
    };
    for (int run = 0; run < runs; ++run) {
        progress(QStringLiteral("%1: run %2 of %3").arg(figures.title).arg(run + 1).arg(runs));
        m_figures.loadDuringRuns.append(readProcFile(QStringLiteral("/proc/loadavg")).section(u' ', 0, 0).toDouble());
        if (run % 2 == 0) {
            runOurs();
            runTheSameWithCurl();
        } else {
            runTheSameWithCurl();
            runOurs();
        }
    }
    if (!watchUiThread)
        return;
    // Separate runs: the timer's own wake-ups would otherwise count against the throughput.
    for (int run = 0; run < runs; ++run) {
        progress(QStringLiteral("%1: UI timer run %2 of %3").arg(figures.title).arg(run + 1).arg(runs));
        const Result<BackblazePayload> session = nextSession();
        if (!session)
            continue;
        const ProbeOutcome outcome = probe(session.value(), file, true);
        if (!outcome.ok) {
            figures.failures.append(outcome.failure);
            continue;
        }
        figures.lateMaxMs.append(outcome.lateMaxMs);
        figures.lateP99Ms.append(outcome.lateP99Ms);
        figures.longestUiEventMs.append(outcome.longestUiEventMs);
        figures.longestUiEventCpuMs.append(outcome.longestUiEventCpuMs);
        figures.longestUiEventCpuNames.append(outcome.longestUiEventCpuName);
        figures.uiCpuShare.append(outcome.uiCpuShare);
    }
}

void Suite::measureSink(const TestData &data)
{
    struct Case
    {
        QString title;
        QString file;
        qint64 bytes;
        qint64 partSize;
        // The shorter cases run more often, so that each is measured about as long.
        int runsPerRun;
    };
    const QList<Case> cases{
            {QStringLiteral("1 GiB in 8 MiB parts"), data.largeFile, 1024 * mebibyte, 8 * mebibyte, 1},
            {QStringLiteral("1 GiB in 64 MiB parts"), data.largeFile, 1024 * mebibyte, 64 * mebibyte, 1},
            {QStringLiteral("256 MiB in one PUT"), data.smallFile, 256 * mebibyte, 0, shortCaseRunsPerRun},
    };
    const auto measure = [&](const Case &c, bool watchUiThread) {
        UploadCase figures;
        figures.title = c.title;
        figures.bytes = c.bytes;
        figures.partSize = c.partSize;
        QList<QString> partFiles;
        if (c.partSize > 0) {
            progress(QStringLiteral("%1: cutting the file for curl").arg(c.title));
            partFiles = TestData::splitIntoParts(c.file, c.partSize,
                                                 m_work.filePath(QStringLiteral("parts-%1").arg(c.partSize)));
        }
        const QList<QByteArray> eTags(partFiles.size(), QByteArrayLiteral("\"abc\""));
        const BackblazePayload session = sinkSession(m_options.sinkUrl, QFileInfo(c.file).fileName(), c.bytes, c.partSize);
        compareWithCurl(figures, c.file, partFiles, eTags, [&] { return Result<BackblazePayload>(session); },
                        watchUiThread, m_options.runs * c.runsPerRun);
        for (const QString &part : std::as_const(partFiles))
            QFile::remove(part);
        return figures;
    };
    for (const Case &c : cases)
        m_figures.sink.append(measure(c, true));
    m_figures.perFile = measure({QStringLiteral("4 KiB in one PUT"), data.tinyFile, 4 * 1024, 0, shortCaseRunsPerRun},
                                false);
}

void Suite::measureStore(const TestData &data)
{
    UploadCase figures;
    figures.title = QStringLiteral("256 MiB through the local S3 store");
    figures.bytes = 256 * mebibyte;
    const APIService api(m_options.apiUrl);
    // The service client's own diagnostic lines are of no interest here.
    const Diagnostics::Capture quiet;
    int sessions = 0;
    const auto nextSession = [&]() -> Result<BackblazePayload> {
        return waitForTask(api.requestUploadSession(m_options.apiKey,
                                                QStringLiteral("bench-%1.bin").arg(++sessions), figures.bytes));
    };
    const Result<BackblazePayload> probeSession = nextSession();
    if (!probeSession) {
        figures.failures.append(QStringLiteral("no upload session: ") + probeSession.error().fullDescription());
        m_figures.store = figures;
        return;
    }
    figures.partSize = probeSession.value().chunkSize;
    progress(QStringLiteral("%1: cutting the file for curl").arg(figures.title));
    const QList<QString> partFiles = TestData::splitIntoParts(data.smallFile, figures.partSize,
                                                              m_work.filePath(QStringLiteral("parts-store")));
    QList<QByteArray> eTags;
    for (const QByteArray &digest : TestData::partDigests(data.smallFile, figures.partSize))
        eTags.append('"' + digest + '"');
    compareWithCurl(figures, data.smallFile, partFiles, eTags, nextSession, false, m_options.runs);
    for (const QString &part : partFiles)
        QFile::remove(part);
    m_figures.store = figures;
}

int Suite::run()
{
    m_figures.command = m_options.command;
    m_figures.runs = m_options.runs;
    m_figures.started = QDateTime::currentDateTime();
    m_figures.loadAtStart = readProcFile(QStringLiteral("/proc/loadavg"));
    m_figures.toolVersions = {
            QStringLiteral("Qt ") + QString::fromLatin1(qVersion()),
            firstOutputLine(m_options.curl, {QStringLiteral("--version")}),
            firstOutputLine(QStringLiteral("nginx"), {QStringLiteral("-v")}),
            QStringLiteral("Node.js ") + firstOutputLine(QStringLiteral("node"), {QStringLiteral("--version")}),
    };

    progress(QStringLiteral("writing the test files"));
    const TestData data = TestData::write(m_work.path());
    measureSink(data);
    measureStore(data);
    progress(QStringLiteral("resume after a kill at half"));
    m_figures.resume = measureResumeAfterKill(m_options.apiUrl, m_options.apiKey, data.smallFile, m_work.path());
    progress(QStringLiteral("first frame: one run to warm the caches, then %1 measured").arg(m_options.runs));
    const FirstFrameTimes firstFrame = measureFirstFrame(m_options.appPath, m_options.runs, m_work.path());
    m_figures.firstFrameMs = firstFrame.milliseconds;
    m_figures.firstFrameFailure = firstFrame.failure;

    m_figures.finished = QDateTime::currentDateTime();
    m_figures.loadAtEnd = readProcFile(QStringLiteral("/proc/loadavg"));
    QFile report(m_options.output);
    if (!report.open(QIODevice::WriteOnly | QIODevice::Truncate)
        || report.write(composeReport(m_figures).toUtf8()) < 0) {
        progress(QStringLiteral("cannot write ") + m_options.output);
        return 1;
    }
    progress(QStringLiteral("wrote ") + m_options.output);
    bool complete = m_figures.firstFrameFailure.isEmpty() && m_figures.store.failures.isEmpty()
            && m_figures.resume.failures.isEmpty();
    for (const UploadCase &figures : std::as_const(m_figures.sink))
        complete = complete && figures.failures.isEmpty();
    complete = complete && m_figures.perFile.failures.isEmpty();
    return complete ? 0 : 1;
}
}

int runSuite(const SuiteOptions &options)
{
    return Suite(options).run();
}
