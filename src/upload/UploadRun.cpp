#include "UploadRun.h"

#include "Diagnostics.h"
#include "FileFormat.h"
#include "PresignedUrlExpiry.h"
#include "StorageFailure.h"
#include "StorageWorkers.h"
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
        if (file.storageUrl)
            continue;
        const Result<qint64> size = inspectLocalFile(file.file.toLocalFile(), file.file.fileName());
        if (size)
            file.size = size.value();
        else
            file.unusable = size.error();
    }
    return files;
}

struct OpenedFile
{
    std::shared_ptr<QFile> file;
    std::optional<FileIdentity> identity;
};

// Null when the file cannot be opened: the transfer then fails where it would read it. Blocks
// on the file system.
OpenedFile openForTransfer(const QString &path)
{
    auto file = std::make_shared<QFile>(path);
    if (!file->open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return {};
    return {file, FileIdentity::ofOpenFile(file->handle())};
}

QList<RunFile> filesInUploadOrder(const UploadPlan &plan)
{
    QList<RunFile> files;
    const auto add = [&](const QUrl &file, RunFile::Role role) {
        RunFile entry;
        entry.file = file;
        entry.role = role;
        files.append(entry);
    };
    if (!plan.aimeFile.isEmpty())
        add(plan.aimeFile, RunFile::Role::aime);
    if (!plan.fcpxmlFile.isEmpty())
        add(plan.fcpxmlFile, RunFile::Role::fcpxml);
    for (const QUrl &file : plan.videoFiles)
        add(file, RunFile::Role::video);
    return files;
}

// The first part not yet stored, counted from 1, of a session's parts.
qint64 firstMissingPart(const RunFile &file)
{
    const qint64 partCount = file.session ? file.session->presignedChunkUrls.size() : 0;
    for (qint64 part = 1; part <= partCount; ++part) {
        const bool stored = std::any_of(file.storedParts.begin(), file.storedParts.end(),
                                        [&](const StoredPart &storedPart) { return storedPart.partNumber == part; });
        if (!stored)
            return part;
    }
    return partCount;
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
        entries.append(QString::number(chunk.chunkId) + QStringLiteral(": ") + Diagnostics::redactedUrl(chunk.url));
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
    : UploadRun(UploadRecord{0, plan, filesInUploadOrder(plan), false}, std::move(apiService), std::move(apiKey))
{
}

UploadRun::UploadRun(UploadRecord record, APIService apiService, ApiKeySource apiKey)
    : m_record(std::move(record))
    , m_apiService(std::move(apiService))
    , m_apiKey(std::move(apiKey))
{
    connect(&m_outageWait, &OutageWait::waiting, this, [this](const Outage &outage) {
        Q_EMIT logLine(QStringLiteral("⏳ Storage cannot be reached (%1); trying again in %2 s.")
                               .arg(outage.reason)
                               .arg(outage.wait.count()));
        Q_EMIT waitingForOutage(outage);
    });
    connect(&m_outageWait, &OutageWait::resumed, this, &UploadRun::outageOver);
}

void UploadRun::keepRecordIn(UploadRecordStore store, qint64 workspaceId)
{
    m_store = std::move(store);
    m_record.workspaceId = workspaceId;
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
    for (qsizetype index = 0; index < run->m_record.files.size(); ++index) {
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
    QFuture<QList<RunFile>> inspecting = QtConcurrent::run(inspectLocalFiles, m_record.files);
    m_record.files = co_await inspecting;
    QList<qint64> sizes;
    for (const RunFile &file : std::as_const(m_record.files)) {
        if (!file.storageUrl)
            sizes.append(file.unusable ? 0 : file.size);
    }
    Q_EMIT filesMeasured(sizes);
}

QCoro::Task<Result<void>> UploadRun::storeFile(qsizetype index)
{
    const QUrl file = m_record.files.at(index).file;
    const QString fileName = file.fileName();
    if (m_record.files.at(index).storageUrl)
        co_return Result<void>();
    if (m_record.files.at(index).unusable)
        co_return *m_record.files.at(index).unusable;
    if (m_abandoned)
        co_return screenClosed();
    Q_EMIT fileStarted(m_record.files.at(index).size);

    const QString path = file.toLocalFile();
    OpenedFile opened;
    if (m_record.files.at(index).session) {
        QFuture<OpenedFile> opening = StorageClient::workerThreads().run([path] { return openForTransfer(path); });
        opened = co_await opening;
        checkResumable(index, opened.identity);
    }
    bool resumed = m_record.files.at(index).session.has_value();
    for (;;) {
        if (!m_record.files.at(index).session) {
            const Result<void> received = co_await requestSession(index);
            if (!received)
                co_return received.error();
            // Opened only now, as the transfer always did: a file gone meanwhile sends nothing.
            QFuture<OpenedFile> opening = StorageClient::workerThreads().run([path] { return openForTransfer(path); });
            opened = co_await opening;
            m_record.files[index].identity = opened.identity.value_or(FileIdentity{});
            save(false);
        } else {
            reportResume(index);
        }
        const BackblazePayload session = *m_record.files.at(index).session;
        const QUrl completeUploadUrl(session.completeUploadUrl, QUrl::StrictMode);
        if (!completeUploadUrl.isValid() || completeUploadUrl.isRelative())
            co_return Error::badUrl(session.completeUploadUrl);
        if (!completionUrlFits(session.presignedChunkUrls.size(), completeUploadUrl))
            co_return Error::upload(transferFailed, QStringLiteral("Failed to upload ") + fileName);

        FileTransfer request;
        request.file = opened.file;
        request.fileSize = opened.identity ? opened.identity->size : 0;
        request.chunkSize = session.chunkSize;
        request.chunkUrls = session.presignedChunkUrls;
        request.completeUploadUrl = completeUploadUrl;
        request.storedParts = m_record.files.at(index).storedParts;
        request.onPartStored = [this, index](const StoredPart &part) {
            QList<StoredPart> &parts = m_record.files[index].storedParts;
            parts.removeIf([&](const StoredPart &stored) { return stored.partNumber == part.partNumber; });
            parts.append(part);
            save(false);
        };
        request.onMessage = [this](const QString &message) { Q_EMIT transferMessage(message); };
        request.cancellation = &m_cancellation;
        request.outageWait = &m_outageWait;
        const FileTransferOutcome outcome = co_await transferFile(std::move(request), m_storage);
        if (outcome.stored) {
            m_record.files[index].storageUrl = session.bbUrl;
            save(false);
            Q_EMIT logLine(QStringLiteral("✅ Finished ") + fileName);
            co_return Result<void>();
        }
        const std::optional<int> status = outcome.failure ? outcome.failure->httpStatus() : std::nullopt;
        // Storage forgets an upload whose links expired or that it no longer knows: start anew.
        if (resumed && (status == 403 || status == 404)) {
            startFileOver(index, QStringLiteral("The upload's links for %1 have expired; it will be uploaded from the start.")
                                         .arg(fileName));
            resumed = false;
            continue;
        }
        if (outcome.failure && !outcome.failure->isCancellation() && (status || outcome.failure->isNetworkError()))
            Q_EMIT logLine(QStringLiteral("The upload of %1 stopped: %2.").arg(fileName, describeStorageFailure(*outcome.failure)));
        co_return Error::upload(transferFailed, QStringLiteral("Failed to upload ") + fileName);
    }
}

void UploadRun::checkResumable(qsizetype index, const std::optional<FileIdentity> &identity)
{
    const RunFile &file = m_record.files.at(index);
    const QString fileName = file.file.fileName();
    if (identity && *identity != file.identity) {
        startFileOver(index, QStringLiteral("%1 has changed since its upload began; it will be uploaded from the start.")
                                     .arg(fileName));
        return;
    }
    const QList<PresignedChunkUrl> &chunks = file.session->presignedChunkUrls;
    const std::optional<QDateTime> expiry =
            chunks.isEmpty() ? std::nullopt : presignedUrlExpiry(QUrl(chunks.first().url));
    if (expiry && *expiry <= QDateTime::currentDateTimeUtc()) {
        startFileOver(index, QStringLiteral("The upload's links for %1 have expired; it will be uploaded from the start.")
                                     .arg(fileName));
    }
}

void UploadRun::startFileOver(qsizetype index, const QString &why)
{
    Q_EMIT logLine(why);
    RunFile &file = m_record.files[index];
    file.session.reset();
    file.storedParts.clear();
    file.storageUrl.reset();
    save(true);
}

QCoro::Task<Result<void>> UploadRun::requestSession(qsizetype index)
{
    const QString fileName = m_record.files.at(index).file.fileName();
    const std::optional<QString> apiKey = m_apiKey();
    if (!apiKey)
        co_return signedOutError();
    const qint64 fileSize = m_record.files.at(index).size;
    const auto session =
            co_await m_apiService.requestUploadSession(*apiKey, fileName, fileSize, &m_cancellation);
    if (!session)
        co_return session.error();
    m_record.files[index].session = session.value();
    m_record.files[index].storedParts.clear();
    save(true);
    Q_EMIT logLine(QStringLiteral("🎬 Uploading ") + fileName + QStringLiteral("…"));
    Diagnostics::printLine(QStringLiteral("Presigned chunk urls"));
    Diagnostics::printLine(describeChunkUrls(session.value().presignedChunkUrls));
    co_return Result<void>();
}

void UploadRun::reportResume(qsizetype index)
{
    const RunFile &file = m_record.files.at(index);
    const qint64 partCount = file.session->presignedChunkUrls.size();
    const int storedPercent = file.size > 0 ? int(file.storedBytes() * 100 / file.size) : 0;
    Q_EMIT logLine(QStringLiteral("Resuming %1 at part %2 of %3 (%4 % already stored)")
                           .arg(file.file.fileName())
                           .arg(firstMissingPart(file))
                           .arg(partCount)
                           .arg(storedPercent));
    if (storedPercent > 0)
        Q_EMIT transferMessage(QStringLiteral("Uploaded (%1%)").arg(storedPercent));
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
    for (const RunFile &file : std::as_const(m_record.files)) {
        if (file.role == RunFile::Role::video)
            uploadedUrls.append(file.storageUrl.value_or(QString()));
    }
    const QString uploadedUrl = uploadedUrls.value(0);
    std::optional<QString> uploadedUrlRight;
    if (uploadedUrls.size() > 1)
        uploadedUrlRight = uploadedUrls.value(1);
    const QString fileFormat = m_record.plan.fileFormat;
    const bool is3D = fileFormat != FileFormat::twoD;
    const qint64 perspective = perspectiveValue(m_record.plan.perspective);
    const QString videoName = m_record.plan.videoName;
    const std::optional<QString> aimeUrl = storageUrlOf(m_record.files, RunFile::Role::aime);
    const std::optional<QString> fcpxmlUrl = storageUrlOf(m_record.files, RunFile::Role::fcpxml);
    const auto entry = co_await m_apiService.submitLibraryData(*apiKey, uploadedUrl, uploadedUrlRight,
                                                               fileFormat, is3D, perspective, videoName,
                                                               aimeUrl, fcpxmlUrl, &m_cancellation);
    if (!entry) {
        Q_EMIT logLine(QStringLiteral("API Error: ") + entry.error().description() + u'\n');
        Q_EMIT failed(entry.error());
        co_return;
    }
    m_record.registrationConfirmed = true;
    if (m_store)
        m_store->remove(m_record.workspaceId);
    Q_EMIT logLine(QStringLiteral("Video uploaded. Library ID: ") + QString::number(entry.value().id)
                   + QStringLiteral(", Name: ") + entry.value().videoName + u'\n');
    Q_EMIT completed();
}

void UploadRun::save(bool sessionsChanged)
{
    if (!m_store)
        return;
    const Result<void> saved = m_store->save(m_record, sessionsChanged);
    // The upload goes on; only a restart could not resume it.
    if (!saved && !m_saveFailureReported) {
        m_saveFailureReported = true;
        Q_EMIT logLine(saved.error().description());
    }
}
