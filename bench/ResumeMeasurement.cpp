#include "ResumeMeasurement.h"

#include "APIService.h"
#include "ApiKeyPreference.h"
#include "Diagnostics.h"
#include "FileUploaderState.h"
#include "SessionManager.h"
#include "StoreControl.h"
#include "UploadRecordStore.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QProcess>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <functional>
#include <numeric>

namespace {
using namespace std::chrono_literals;

// Storage's 200 answers to parts, by upload and part number, with the bytes each held.
using StoredParts = QMap<std::pair<QString, int>, qint64>;

StoredParts storedParts(const QJsonArray &requests)
{
    StoredParts parts;
    for (const QJsonValue &value : requests) {
        const QJsonObject request = value.toObject();
        if (request[u"kind"].toString() == u"part" && request[u"status"].toInt() == 200)
            parts.insert({request[u"uploadId"].toString(), request[u"partNumber"].toInt()},
                         request[u"bytes"].toInteger());
    }
    return parts;
}

qint64 storedBytes(const StoredParts &parts)
{
    return std::accumulate(parts.cbegin(), parts.cend(), qint64(0));
}

qint64 lastSequence(const QJsonArray &requests)
{
    return requests.isEmpty() ? 0 : requests.last().toObject()[u"seq"].toInteger();
}

bool waitUntil(const std::function<bool()> &condition, std::chrono::milliseconds limit)
{
    const QDeadlineTimer deadline(limit);
    while (!condition() && !deadline.hasExpired()) {
        QEventLoop loop;
        QTimer::singleShot(10ms, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return condition();
}

QByteArray fileDigest(const QString &path)
{
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    return file.open(QIODevice::ReadOnly) && hash.addData(&file) ? hash.result() : QByteArray();
}

class ResumeAfterKill
{
public:
    ResumeAfterKill(const QString &apiUrl, const QString &apiKey, const QString &file)
        : m_apiUrl(apiUrl)
        , m_apiKey(apiKey)
        , m_file(file)
        , m_store(apiUrl)
    {
        m_figures.bytes = QFileInfo(file).size();
    }

    ResumeCase measure();

private:
    bool killChildAtHalf();
    void resume();
    void checkObject(qsizetype libraryBefore);

    QString m_apiUrl;
    QString m_apiKey;
    QString m_file;
    StoreControl m_store;
    ResumeCase m_figures;
};

// Polls the request log rather than the child's progress: the kill comes from outside, as a
// crash or a power cut would, at a moment the child knows nothing of.
bool ResumeAfterKill::killChildAtHalf()
{
    QProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    child.setProcessEnvironment(environment);
    child.setStandardOutputFile(QProcess::nullDevice());
    child.start(QCoreApplication::applicationFilePath(),
                {QStringLiteral("upload-child"), m_apiUrl, m_apiKey, m_file});
    const auto halfStored = [&] {
        const StoredParts parts = storedParts(m_store.requests());
        if (parts.isEmpty())
            return false;
        m_figures.partSize = *std::max_element(parts.cbegin(), parts.cend());
        const qint64 partCount = (m_figures.bytes + m_figures.partSize - 1) / m_figures.partSize;
        return 2 * parts.size() >= partCount;
    };
    const bool reachedHalf = waitUntil([&] { return halfStored() || child.state() == QProcess::NotRunning; }, 5min)
            && child.state() != QProcess::NotRunning;
    child.kill();
    child.waitForFinished();
    if (!reachedHalf) {
        m_figures.failures.append(QStringLiteral("the upload did not reach half its parts (exit status %1): %2")
                                          .arg(child.exitCode())
                                          .arg(QString::fromUtf8(child.readAllStandardError().trimmed().right(500))));
    }
    return reachedHalf;
}

// A new session and upload screen, as the next start of the application makes them.
void ResumeAfterKill::resume()
{
    const Diagnostics::Capture quiet;
    SessionManager session{APIService(m_apiUrl)};
    FileUploaderState state;
    state.setSessionManager(&session);
    if (!waitUntil([&] { return state.canResume(); }, 60s)) {
        m_figures.failures.append(QStringLiteral("no interrupted upload was offered: ") + state.statusMessage());
        return;
    }
    const QJsonArray before = m_store.requests();
    const StoredParts stored = storedParts(before);
    m_figures.partsStoredAtResume = int(stored.size());
    m_figures.missingBytes = m_figures.bytes - storedBytes(stored);

    QElapsedTimer clock;
    clock.start();
    state.resumeUpload();
    const bool ended = waitUntil(
            [&] {
                return state.statusMessage() == u"Upload completed!" || state.logs().contains(u"❌ Upload errored: ");
            },
            10min);
    m_figures.resumeSeconds = double(clock.nsecsElapsed()) / 1e9;
    if (!ended || state.statusMessage() != u"Upload completed!") {
        m_figures.failures.append(QStringLiteral("the resumed upload did not complete: %1\n%2")
                                          .arg(state.statusMessage(), state.logs().right(500)));
    }
    const qint64 firstOfResume = lastSequence(before);
    for (const QJsonValue &value : m_store.requests()) {
        const QJsonObject request = value.toObject();
        if (request[u"seq"].toInteger() > firstOfResume && request[u"kind"].toString() == u"part")
            m_figures.resumeSentBytes += request[u"bytes"].toInteger();
    }
}

void ResumeAfterKill::checkObject(qsizetype libraryBefore)
{
    const QJsonArray library = m_store.library();
    if (library.size() != libraryBefore + 1) {
        m_figures.failures.append(QStringLiteral("the library holds %1 new entries, not one").arg(library.size() - libraryBefore));
        return;
    }
    const auto object = m_store.object(library.last().toObject()[u"video_url_left"].toString());
    m_figures.objectComplete =
            object && QCryptographicHash::hash(*object, QCryptographicHash::Sha256) == fileDigest(m_file);
    if (!m_figures.objectComplete)
        m_figures.failures.append(QStringLiteral("the stored object is not the file"));
}

ResumeCase ResumeAfterKill::measure()
{
    const qsizetype libraryBefore = m_store.library().size();
    if (!m_store.clearRequests()) {
        m_figures.failures.append(QStringLiteral("the devservice's request log cannot be cleared"));
        return m_figures;
    }
    if (!killChildAtHalf())
        return m_figures;
    resume();
    if (m_figures.failures.isEmpty())
        checkObject(libraryBefore);
    return m_figures;
}
}

ResumeCase measureResumeAfterKill(const QString &apiUrl, const QString &apiKey, const QString &file,
                                  const QString &workDirectory)
{
    // Set before anything reads a preference; the child inherits them.
    const QDir home(QDir(workDirectory).filePath(QStringLiteral("resume-home")));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.filePath(QStringLiteral("config"))));
    qputenv("XDG_DATA_HOME", QFile::encodeName(home.filePath(QStringLiteral("data"))));
    if (!ApiKeyPreference::filePath().startsWith(home.path())
        || !UploadRecordStore().filePath(0).startsWith(home.path())) {
        ResumeCase figures;
        figures.failures.append(QStringLiteral("the preferences or the upload records would leave %1").arg(home.path()));
        return figures;
    }
    return ResumeAfterKill(apiUrl, apiKey, file).measure();
}
