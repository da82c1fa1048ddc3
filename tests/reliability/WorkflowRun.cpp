#include "WorkflowRun.h"

#include "FileFormat.h"
#include "FileUploaderState.h"

#include <QCryptographicHash>
#include <QEventLoop>
#include <QFile>
#include <QRandomGenerator>
#include <QTimer>

QByteArray sampleBytes(const QString &seed, qint64 size)
{
    QList<quint32> words(size / qint64(sizeof(quint32)) + 1);
    QRandomGenerator(quint32(qHash(seed))).fillRange(words.data(), words.size());
    return QByteArray(reinterpret_cast<const char *>(words.constData()), size);
}

QByteArray sha256(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

void pickVideo(FileUploaderState &state, const QUrl &file)
{
    state.selectFileFormat(FileFormat::twoD);
    state.setSelectedFile(file);
    state.handleSelectedFileChange(file);
    state.setVideoName(QStringLiteral("Reliability"));
}

bool runHasEnded(const FileUploaderState &state)
{
    return state.statusMessage() == u"Upload completed!" || state.logs().contains(u"❌ Upload errored: ");
}

bool waitUntilRunEnds(const FileUploaderState &state)
{
    QEventLoop loop;
    QTimer::singleShot(std::chrono::minutes(2), &loop, &QEventLoop::quit);
    const auto check = [&] {
        if (runHasEnded(state))
            loop.quit();
    };
    QObject::connect(&state, &FileUploaderState::statusMessageChanged, &loop, check);
    QObject::connect(&state, &FileUploaderState::logsChanged, &loop, check);
    if (!runHasEnded(state))
        loop.exec();
    return runHasEnded(state);
}

bool startAndFinish(FileUploaderState &state)
{
    state.startUpload();
    // A run refused at its first step may have ended before startUpload() returned.
    return (state.isUploading() || runHasEnded(state)) && waitUntilRunEnds(state);
}

QString runSummary(const FileUploaderState &state)
{
    return QStringLiteral("uploading: %1, status: %2, log:\n%3")
        .arg(state.isUploading() ? u"yes" : u"no", state.statusMessage(), state.logs());
}
