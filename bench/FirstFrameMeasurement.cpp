#include "FirstFrameMeasurement.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <optional>

namespace {
constexpr int firstFrameTimeoutMs = 20'000;
}

FirstFrameTimes measureFirstFrame(const QString &appPath, int runs, const QString &workDirectory)
{
    FirstFrameTimes times;
    if (appPath.isEmpty() || !QFileInfo(appPath).isExecutable()) {
        times.failure = QStringLiteral("the application executable %1 does not exist")
                .arg(appPath.isEmpty() ? QStringLiteral("vellumcast-uploader") : appPath);
        return times;
    }
    for (int run = 0; run <= runs; ++run) {
        QTemporaryDir home(QDir(workDirectory).filePath(QStringLiteral("home-XXXXXX")));
        QDir(home.path()).mkpath(QStringLiteral("runtime"));
        QFile::setPermissions(home.filePath(QStringLiteral("runtime")),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        // A home of its own: no API key is stored there, so the sign-in window opens.
        environment.insert(QStringLiteral("HOME"), home.path());
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), home.filePath(QStringLiteral("config")));
        environment.insert(QStringLiteral("XDG_CACHE_HOME"), home.filePath(QStringLiteral("cache")));
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), home.filePath(QStringLiteral("runtime")));
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        environment.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("qt.scenegraph.time.renderloop=true"));
        QProcess process;
        process.setProcessEnvironment(environment);
        process.setProcessChannelMode(QProcess::MergedChannels);
        QElapsedTimer clock;
        clock.start();
        process.start(appPath, {});
        QByteArray output;
        std::optional<double> firstFrameMs;
        while (!firstFrameMs && clock.elapsed() < firstFrameTimeoutMs
               && process.waitForReadyRead(int(firstFrameTimeoutMs - clock.elapsed()))) {
            output += process.readAll();
            if (output.contains("Frame rendered"))
                firstFrameMs = double(clock.nsecsElapsed()) / 1e6;
        }
        process.kill();
        process.waitForFinished();
        if (!firstFrameMs) {
            return {{},
                    QStringLiteral("no frame within %1 s; the application wrote: %2")
                            .arg(firstFrameTimeoutMs / 1000)
                            .arg(QString::fromUtf8(output.right(500)))};
        }
        if (run > 0)
            times.milliseconds.append(*firstFrameMs);
    }
    return times;
}
