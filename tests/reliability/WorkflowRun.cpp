#include "WorkflowRun.h"

#include "FileFormat.h"
#include "FileUploaderState.h"

#include <QCryptographicHash>
#include <QEventLoop>
#include <QFile>
#include <QRandomGenerator>
#include <QTimer>

#include <cstring>

QByteArray sampleBytes(const QString &seed, qint64 size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(qHash(seed));
    for (qint64 offset = 0; offset < size; offset += sizeof(quint32)) {
        const quint32 word = generator.generate();
        std::memcpy(bytes.data() + offset, &word, size_t(std::min<qint64>(sizeof word, size - offset)));
    }
    return bytes;
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

bool waitUntilRunEnds(FileUploaderState &state, std::chrono::milliseconds fallback)
{
    QEventLoop loop;
    const auto check = [&] {
        if (runHasEnded(state))
            loop.quit();
    };
    QObject::connect(&state, &FileUploaderState::statusMessageChanged, &loop, check);
    QObject::connect(&state, &FileUploaderState::logsChanged, &loop, check);
    QTimer::singleShot(fallback, &loop, &QEventLoop::quit);
    if (!runHasEnded(state))
        loop.exec();
    return runHasEnded(state);
}

bool startAndFinish(FileUploaderState &state, std::chrono::milliseconds fallback)
{
    state.startUpload();
    // A run refused at its first step may have ended before startUpload() returned.
    if (!state.isUploading() && !runHasEnded(state))
        return false;
    return waitUntilRunEnds(state, fallback);
}

QString runSummary(const FileUploaderState &state)
{
    return QStringLiteral("uploading: %1, status: %2, log:\n%3")
        .arg(state.isUploading() ? u"yes" : u"no", state.statusMessage(), state.logs());
}
