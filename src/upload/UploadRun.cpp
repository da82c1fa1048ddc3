#include "UploadRun.h"

#include "Diagnostics.h"
#include "FileFormat.h"
#include "UploadDriver.h"

#include <QCoro/QCoroFuture>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QtConcurrent>

// GCC 12 destroys some temporaries of a co_await expression twice (closures, conditional
// expressions): the arguments of awaited calls below are named variables.

namespace {
// Codes of the workflow's own "UploadError" failures.
enum UploadFailure : qint64 { transferFailed = 1, fileUnreadable = 2, signedOut = 3, notAFile = 4 };

constexpr qint64 fallbackPerspective = 180;

// The size of a regular file that can be read; anything else is refused before the service
// hears of it. Blocks on the file system: call it on a worker thread.
Result<qint64> inspectLocalFile(const QString &path, const QString &fileName)
{
    const QFileInfo info(path);
    if (!info.exists())
        return Error::upload(fileUnreadable, QStringLiteral("The file \"%1\" could not be read.").arg(fileName));
    if (info.isDir())
        return Error::upload(notAFile, QStringLiteral("\"%1\" is a folder, not a file.").arg(fileName));
    // Opening a pipe blocks until someone writes to it, and a device may never end.
    if (!info.isFile())
        return Error::upload(notAFile, QStringLiteral("\"%1\" is not a regular file.").arg(fileName));
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return Error::upload(fileUnreadable, QStringLiteral("The file \"%1\" could not be read: %2.")
                                                 .arg(fileName, file.errorString()));
    }
    return info.size();
}

QList<RunFile> inspectLocalFiles(QList<RunFile> files)
{
    for (RunFile &file : files) {
        const Result<qint64> size = inspectLocalFile(file.file.toLocalFile(), file.file.fileName());
        if (size)
            file.size = size.value();
        else
            file.unusable = size.error();
    }
    return files;
}

QList<RunFile> filesInUploadOrder(const UploadPlan &plan)
{
    QList<RunFile> files;
    if (!plan.aimeFile.isEmpty())
        files.append(RunFile{plan.aimeFile, RunFile::Role::aime, 0, {}, {}, {}});
    if (!plan.fcpxmlFile.isEmpty())
        files.append(RunFile{plan.fcpxmlFile, RunFile::Role::fcpxml, 0, {}, {}, {}});
    for (const QUrl &file : plan.videoFiles)
        files.append(RunFile{file, RunFile::Role::video, 0, {}, {}, {}});
    return files;
}

std::optional<QString> storageUrlOf(const QList<RunFile> &files, RunFile::Role role)
{
    for (const RunFile &file : files) {
        if (file.role == role)
            return file.storageUrl;
    }
    return std::nullopt;
}

// A decimal integer with an optional sign; anything else, or a value out of range, is 180.
qint64 perspectiveValue(const QString &text)
{
    static const QRegularExpression integer(QStringLiteral("\\A[+-]?[0-9]+\\z"));
    if (!integer.match(text).hasMatch())
        return fallbackPerspective;
    bool inRange = false;
    const qint64 value = text.toLongLong(&inRange);
    return inRange ? value : fallbackPerspective;
}

QString describeChunkUrls(const QList<PresignedChunkUrl> &chunks)
{
    QStringList entries;
    for (const PresignedChunkUrl &chunk : chunks)
        entries.append(QString::number(chunk.chunkId) + QStringLiteral(": ") + chunk.url);
    return u'[' + entries.join(QStringLiteral(", ")) + u']';
}

Error signedOutError()
{
    return Error::upload(signedOut, QStringLiteral("You were signed out during the upload."));
}

// Answered by a run whose screen has been closed: nobody reads it.
Error screenClosed()
{
    return Error::cancelled();
}
}

UploadRun::UploadRun(UploadPlan plan, APIService apiService, ApiKeySource apiKey)
    : m_plan(std::move(plan))
    , m_files(filesInUploadOrder(m_plan))
    , m_apiService(std::move(apiService))
    , m_apiKey(std::move(apiKey))
{
}

void UploadRun::start(std::shared_ptr<UploadRun> run)
{
    execute(std::move(run));
}

void UploadRun::cancel()
{
    // The run may end, and let go of itself, while its requests hear of the cancellation.
    const std::shared_ptr<UploadRun> keepAlive = shared_from_this();
    m_cancellation.cancel();
}

void UploadRun::abandon()
{
    m_abandoned = true;
    cancel();
}

QCoro::Task<> UploadRun::execute(std::shared_ptr<UploadRun> run)
{
    co_await run->inspectFiles();
    for (qsizetype index = 0; index < run->m_files.size(); ++index) {
        const Result<void> stored = co_await run->storeFile(index);
        if (!stored) {
            Q_EMIT run->failed(stored.error());
            co_return;
        }
    }
    co_await run->registerVideo();
}

QCoro::Task<> UploadRun::inspectFiles()
{
    QFuture<QList<RunFile>> inspecting = QtConcurrent::run(inspectLocalFiles, m_files);
    m_files = co_await inspecting;
    QList<qint64> sizes;
    for (const RunFile &file : std::as_const(m_files))
        sizes.append(file.unusable ? 0 : file.size);
    Q_EMIT filesMeasured(sizes);
}

QCoro::Task<Result<void>> UploadRun::storeFile(qsizetype index)
{
    const QUrl file = m_files.at(index).file;
    const QString fileName = file.fileName();
    if (m_files.at(index).unusable)
        co_return *m_files.at(index).unusable;
    if (m_abandoned)
        co_return screenClosed();
    Q_EMIT fileStarted(m_files.at(index).size);
    const std::optional<QString> apiKey = m_apiKey();
    if (!apiKey)
        co_return signedOutError();

    const qint64 fileSize = m_files.at(index).size;
    const auto session =
            co_await m_apiService.requestUploadSession(*apiKey, fileName, fileSize, &m_cancellation);
    if (!session)
        co_return session.error();
    m_files[index].session = session.value();
    Q_EMIT logLine(QStringLiteral("🎬 Uploading ") + fileName + QStringLiteral("…"));
    Diagnostics::printLine(QStringLiteral("Presigned chunk urls"));
    Diagnostics::printLine(describeChunkUrls(session.value().presignedChunkUrls));

    const QString &completeUploadUrlText = session.value().completeUploadUrl;
    const QUrl completeUploadUrl(completeUploadUrlText, QUrl::StrictMode);
    if (!completeUploadUrl.isValid() || completeUploadUrl.isRelative())
        co_return Error::badUrl(completeUploadUrlText);

    const std::function<void(const QString &)> forwardProgress = [this](const QString &message) {
        Q_EMIT transferMessage(message);
    };
    const std::optional<QUrl> completion = completeUploadUrl;
    const bool stored = co_await uploadFileSequentially(file, session.value().chunkSize,
                                                        session.value().presignedChunkUrls,
                                                        completion, forwardProgress, &m_cancellation);
    if (!stored)
        co_return Error::upload(transferFailed, QStringLiteral("Failed to upload ") + fileName);
    m_files[index].storageUrl = session.value().bbUrl;
    Q_EMIT logLine(QStringLiteral("✅ Finished ") + fileName);
    co_return Result<void>();
}

QCoro::Task<> UploadRun::registerVideo()
{
    if (m_abandoned)
        co_return;
    const std::optional<QString> apiKey = m_apiKey();
    if (!apiKey) {
        Q_EMIT failed(signedOutError());
        co_return;
    }
    QStringList uploadedUrls;
    for (const RunFile &file : std::as_const(m_files)) {
        if (file.role == RunFile::Role::video)
            uploadedUrls.append(file.storageUrl.value_or(QString()));
    }
    const QString uploadedUrl = uploadedUrls.value(0);
    std::optional<QString> uploadedUrlRight;
    if (uploadedUrls.size() > 1)
        uploadedUrlRight = uploadedUrls.value(1);
    const QString fileFormat = m_plan.fileFormat;
    const bool is3D = fileFormat != FileFormat::twoD;
    const qint64 perspective = perspectiveValue(m_plan.perspective);
    const QString videoName = m_plan.videoName;
    const std::optional<QString> aimeUrl = storageUrlOf(m_files, RunFile::Role::aime);
    const std::optional<QString> fcpxmlUrl = storageUrlOf(m_files, RunFile::Role::fcpxml);
    const auto entry = co_await m_apiService.submitLibraryData(*apiKey, uploadedUrl, uploadedUrlRight,
                                                               fileFormat, is3D, perspective, videoName,
                                                               aimeUrl, fcpxmlUrl, &m_cancellation);
    if (!entry) {
        Q_EMIT logLine(QStringLiteral("API Error: ") + entry.error().description() + u'\n');
        Q_EMIT failed(entry.error());
        co_return;
    }
    Q_EMIT logLine(QStringLiteral("Video uploaded. Library ID: ") + QString::number(entry.value().id)
                   + QStringLiteral(", Name: ") + entry.value().videoName + u'\n');
    Q_EMIT completed();
}
