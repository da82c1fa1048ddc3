#include "CurlRun.h"

#include <QFile>
#include <QProcess>

#include <sys/resource.h>

namespace {
QByteArray quoted(const QString &value)
{
    QByteArray text = value.toUtf8();
    text.replace('\\', "\\\\").replace('"', "\\\"");
    return '"' + text + '"';
}

// CPU time of the children waited for so far, in seconds.
double childrenCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
            + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

QByteArray configuration(const QList<CurlTransfer> &transfers)
{
    QByteArray config;
    for (qsizetype i = 0; i < transfers.size(); ++i) {
        const CurlTransfer &transfer = transfers[i];
        if (i > 0)
            config += "next\n";
        config += "url = " + quoted(transfer.url) + '\n';
        if (transfer.post)
            config += "data-binary = " + quoted(u'@' + transfer.bodyFile) + '\n';
        else
            config += "upload-file = " + quoted(transfer.bodyFile) + '\n';
        config += "header = \"Content-Type: " + transfer.contentType + "\"\n";
        config += "header = \"Expect:\"\n";
        config += "output = \"/dev/null\"\n";
        config += "write-out = \"%{http_code} %{time_total} %{num_connects}\\n\"\n";
        config += "silent\nshow-error\n";
    }
    return config;
}
}

CurlOutcome runCurl(const QString &curl, const QList<CurlTransfer> &transfers, const QString &configPath)
{
    CurlOutcome outcome;
    QFile config(configPath);
    if (!config.open(QIODevice::WriteOnly | QIODevice::Truncate) || config.write(configuration(transfers)) < 0) {
        outcome.failure = QStringLiteral("cannot write ") + configPath;
        return outcome;
    }
    config.close();

    const double childrenCpuAtStart = childrenCpuSeconds();
    QProcess process;
    process.start(curl, {QStringLiteral("--config"), configPath});
    if (!process.waitForFinished(600'000) || process.exitStatus() != QProcess::NormalExit) {
        process.kill();
        process.waitForFinished();
        outcome.failure = QStringLiteral("curl did not finish");
        return outcome;
    }
    outcome.cpuSeconds = childrenCpuSeconds() - childrenCpuAtStart;
    const QList<QByteArray> lines = process.readAllStandardOutput().trimmed().split('\n');
    if (process.exitCode() != 0 || lines.size() != transfers.size()) {
        outcome.failure = QStringLiteral("curl failed (%1): %2")
                .arg(process.exitCode())
                .arg(QString::fromUtf8(process.readAllStandardError().trimmed()));
        return outcome;
    }
    outcome.ok = true;
    for (const QByteArray &line : lines) {
        const QList<QByteArray> fields = line.split(' ');
        const int status = fields.value(0).toInt();
        if (status < 200 || status > 299) {
            outcome.ok = false;
            outcome.failure = QStringLiteral("curl got HTTP %1").arg(status);
        }
        outcome.seconds += fields.value(1).toDouble();
        outcome.connections += fields.value(2).toInt();
    }
    return outcome;
}
