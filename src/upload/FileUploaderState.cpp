#include "FileUploaderState.h"

#include "CancellationToken.h"
#include "Diagnostics.h"
#include "FileFormat.h"
#include "UploadDriver.h"

#include <QCoro/QCoroFuture>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTextBoundaryFinder>
#include <QtConcurrent>

#include <algorithm>

// GCC 12 destroys some temporaries of a co_await expression twice (closures, conditional
// expressions): the arguments of awaited calls below are named variables.

namespace {
// Codes of the workflow's own "UploadError" failures.
enum UploadFailure : qint64 { transferFailed = 1, fileUnreadable = 2, signedOut = 3, notAFile = 4 };

// The transfer's texts that are not worth a line in the user's log.
const QStringList ignoredMessages = {
    QStringLiteral("Log file is located at"),
    QStringLiteral("Number of"),
    QStringLiteral("A newer version"),
};

constexpr qint64 fallbackPerspective = 180;

constexpr std::chrono::seconds transferEstimateRefreshInterval{1};
const QString sleepInhibitionReason = QStringLiteral("Uploading a video");

// What the files measure as a run starts, for its time estimate only: the run itself reads
// each file's size again when it gets to it, and fails there. Blocks on the file system.
QList<qint64> plannedFileSizes(const QStringList &paths)
{
    QList<qint64> sizes;
    for (const QString &path : paths) {
        const QFileInfo info(path);
        sizes.append(info.isFile() ? info.size() : 0);
    }
    return sizes;
}

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

bool isAivuFile(const QUrl &file)
{
    const QString name = file.fileName();
    const qsizetype dot = name.lastIndexOf(u'.');
    return dot >= 0 && QStringView(name).mid(dot + 1).compare(u"aivu", Qt::CaseInsensitive) == 0;
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

// The number written right before the percent sign at `percentSign`, 0 when there is none.
double percentageBefore(const QString &message, qsizetype percentSign)
{
    static const QRegularExpression trailingNumber(QStringLiteral("[0-9]+(?:\\.[0-9]+)?\\z"));
    const QRegularExpressionMatch match = trailingNumber.match(message.left(percentSign));
    return match.hasMatch() ? match.captured().toDouble() : 0.0;
}

// Where the longest tail of `text` that counts at most `maxLength` characters begins. Qt's count
// of a piece of text depends on what stands before it: a space and a spacing mark are two
// characters at the start of a text and one after others, and after some characters every code
// unit counts as one, splitting surrogate pairs. So a tail is measured on its own, and starts
// where the whole text has a character boundary, never inside a surrogate pair.
qsizetype tailStart(const QString &text, qint64 maxLength)
{
    QList<qsizetype> starts{0};
    QTextBoundaryFinder boundaries(QTextBoundaryFinder::Grapheme, text);
    for (qsizetype position = boundaries.toNextBoundary(); position > 0 && position < text.size();
         position = boundaries.toNextBoundary()) {
        if (!(text.at(position).isLowSurrogate() && text.at(position - 1).isHighSurrogate()))
            starts.append(position);
    }
    const auto fits = [&](qsizetype index) {
        return FileUploaderState::userPerceivedLength(text.mid(starts.at(index))) <= maxLength;
    };
    // In the whole text's count the tail of `maxLength` characters starts here.
    qsizetype index = std::clamp<qsizetype>(starts.size() - maxLength, 0, starts.size() - 1);
    while (index + 1 < starts.size() && !fits(index))
        ++index;
    while (index > 0 && fits(index - 1))
        --index;
    return starts.at(index);
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

FileUploaderState::FileUploaderState(QObject *parent)
    : FileUploaderState(std::optional<APIService>(), parent)
{
}

FileUploaderState::FileUploaderState(APIService apiService, QObject *parent)
    : FileUploaderState(std::optional<APIService>(std::move(apiService)), parent)
{
}

FileUploaderState::FileUploaderState(std::optional<APIService> apiService, QObject *parent)
    : QObject(parent)
    , m_apiService(std::move(apiService))
    , m_statusMessage(QStringLiteral("Ready to upload"))
    , m_selectedFileFormat(FileFormat::stereoscopicLeftRight)
    , m_selectedPerspective(QStringLiteral("60"))
    , m_sleepInhibitor(sleepInhibitionReason)
{
    m_successOverlayTimer.setSingleShot(true);
    m_successOverlayTimer.setInterval(successOverlayDuration);
    connect(&m_successOverlayTimer, &QTimer::timeout, this,
            [this] { setShowSuccessAnimation(false); });
    m_transferEstimateRefresh.setInterval(transferEstimateRefreshInterval);
    connect(&m_transferEstimateRefresh, &QTimer::timeout, this,
            &FileUploaderState::refreshTransferEstimate);
    for (const auto formChanged : {&FileUploaderState::selectedFileChanged,
                                   &FileUploaderState::selectedFileLeftChanged,
                                   &FileUploaderState::selectedFileRightChanged,
                                   &FileUploaderState::selectedAIMEFileChanged,
                                   &FileUploaderState::selectedFCPXMLZipChanged,
                                   &FileUploaderState::videoNameChanged,
                                   &FileUploaderState::selectedFileFormatChanged,
                                   &FileUploaderState::requiresAIMEAndFCPXMLChanged,
                                   &FileUploaderState::isUploadingChanged})
        connect(this, formChanged, this, &FileUploaderState::refreshUploadDisabled);
}

FileUploaderState::~FileUploaderState()
{
    if (m_appManager && m_isUploading)
        m_appManager->setUploadInProgress(false);
}

template<typename T>
bool FileUploaderState::assign(T &field, const T &value, void (FileUploaderState::*changed)())
{
    if (field == value)
        return false;
    field = value;
    Q_EMIT(this->*changed)();
    return true;
}

void FileUploaderState::setSessionManager(SessionManager *sessionManager)
{
    if (m_sessionManager == sessionManager)
        return;
    m_sessionManager = sessionManager;
    Q_EMIT sessionManagerChanged();
}

void FileUploaderState::setAppManager(AppManager *appManager)
{
    if (m_appManager == appManager)
        return;
    if (m_appManager)
        disconnect(m_appManager, nullptr, this, nullptr);
    m_appManager = appManager;
    if (m_appManager) {
        connect(m_appManager, &AppManager::cancelUploadRequested, this, &FileUploaderState::cancelUpload);
        m_appManager->setUploadInProgress(m_isUploading);
    }
    Q_EMIT appManagerChanged();
}

void FileUploaderState::setSelectedFile(const QUrl &file)
{
    if (assign(m_selectedFile, file, &FileUploaderState::selectedFileChanged))
        handleSelectedFileChange(file);
}

void FileUploaderState::setSelectedFileLeft(const QUrl &file)
{
    assign(m_selectedFileLeft, file, &FileUploaderState::selectedFileLeftChanged);
}

void FileUploaderState::setSelectedFileRight(const QUrl &file)
{
    assign(m_selectedFileRight, file, &FileUploaderState::selectedFileRightChanged);
}

void FileUploaderState::setSelectedAIMEFile(const QUrl &file)
{
    assign(m_selectedAIMEFile, file, &FileUploaderState::selectedAIMEFileChanged);
}

void FileUploaderState::setSelectedFCPXMLZip(const QUrl &file)
{
    assign(m_selectedFCPXMLZip, file, &FileUploaderState::selectedFCPXMLZipChanged);
}

void FileUploaderState::setStatusMessage(const QString &message)
{
    assign(m_statusMessage, message, &FileUploaderState::statusMessageChanged);
}

void FileUploaderState::setShowSuccessAnimation(bool show)
{
    assign(m_showSuccessAnimation, show, &FileUploaderState::showSuccessAnimationChanged);
}

void FileUploaderState::setIsHeaderHovered(bool hovered)
{
    assign(m_isHeaderHovered, hovered, &FileUploaderState::isHeaderHoveredChanged);
}

void FileUploaderState::setUploadButtonScale(double scale)
{
    assign(m_uploadButtonScale, scale, &FileUploaderState::uploadButtonScaleChanged);
}

void FileUploaderState::setShowDetails(bool show)
{
    assign(m_showDetails, show, &FileUploaderState::showDetailsChanged);
}

void FileUploaderState::setVideoName(const QString &name)
{
    assign(m_videoName, name, &FileUploaderState::videoNameChanged);
}

void FileUploaderState::setSelectedFileFormat(const QString &label)
{
    if (assign(m_selectedFileFormat, label, &FileUploaderState::selectedFileFormatChanged))
        handleFileFormatChange();
}

void FileUploaderState::setSelectedPerspective(const QString &perspective)
{
    assign(m_selectedPerspective, perspective, &FileUploaderState::selectedPerspectiveChanged);
}

void FileUploaderState::setIsUploading(bool uploading)
{
    // The machine stays awake for as long as the screen shows an upload running.
    if (uploading) {
        m_sleepInhibitor.acquire();
        m_transferEstimateRefresh.start();
    } else {
        m_sleepInhibitor.release();
        m_transferEstimateRefresh.stop();
        m_transferEstimate.reset();
    }
    assign(m_isUploading, uploading, &FileUploaderState::isUploadingChanged);
    if (m_appManager)
        m_appManager->setUploadInProgress(uploading);
    refreshTransferEstimate();
}

void FileUploaderState::setProgress(double progress)
{
    assign(m_progress, progress, &FileUploaderState::progressChanged);
}

void FileUploaderState::setRequiresAIMEAndFCPXML(bool required)
{
    assign(m_requiresAIMEAndFCPXML, required, &FileUploaderState::requiresAIMEAndFCPXMLChanged);
}

void FileUploaderState::setHoverState(const QString &label, bool hovered)
{
    if (m_hoverStates.contains(label) && m_hoverStates.value(label).toBool() == hovered)
        return;
    m_hoverStates.insert(label, hovered);
    Q_EMIT hoverStatesChanged();
}

QStringList FileUploaderState::fileFormatOptions()
{
    return FileFormat::fileFormatOptions();
}

QStringList FileUploaderState::perspectiveOptions()
{
    return {QStringLiteral("60"), QStringLiteral("180"), QStringLiteral("360")};
}

void FileUploaderState::selectFileFormat(const QString &label)
{
    // The change handlers see the choice once it is complete: run on the format alone, they
    // would keep an .aivu file that choosing "Separate" clears.
    const bool formatChanged = assign(m_selectedFileFormat, label, &FileUploaderState::selectedFileFormatChanged);
    bool fileChanged = false;
    if (label == FileFormat::separate) {
        fileChanged = assign(m_selectedFile, QUrl(), &FileUploaderState::selectedFileChanged);
    } else {
        setSelectedFileLeft(QUrl());
        setSelectedFileRight(QUrl());
    }
    if (label == FileFormat::appleImmersive)
        setSelectedPerspective(QStringLiteral("180"));
    if (fileChanged)
        handleSelectedFileChange(m_selectedFile);
    if (formatChanged)
        handleFileFormatChange();
}

void FileUploaderState::handleSelectedFileChange(const QUrl &newFile)
{
    // An .aivu file carries what the side files would add; a ProRes file needs them.
    if (!newFile.isEmpty() && isAivuFile(newFile)) {
        setSelectedFileFormat(FileFormat::appleImmersive);
        setRequiresAIMEAndFCPXML(false);
    } else {
        setRequiresAIMEAndFCPXML(m_selectedFileFormat == FileFormat::appleImmersive);
    }
}

void FileUploaderState::handleFileFormatChange()
{
    if (!m_selectedFile.isEmpty())
        handleSelectedFileChange(m_selectedFile);
}

std::optional<QString> FileUploaderState::formProblem() const
{
    if (m_selectedFileFormat != FileFormat::separate) {
        if (m_selectedFile.isEmpty() || m_videoName.isEmpty())
            return QStringLiteral("Select a file and enter a name.");
    } else if (m_selectedFileLeft.isEmpty() || m_selectedFileRight.isEmpty() || m_videoName.isEmpty()) {
        return QStringLiteral("Select both files and enter a name.");
    }
    if (m_requiresAIMEAndFCPXML && (m_selectedAIMEFile.isEmpty() || m_selectedFCPXMLZip.isEmpty()))
        return QStringLiteral("For .aivu files, both AIME and FCPXML are required.");
    return std::nullopt;
}

void FileUploaderState::refreshUploadDisabled()
{
    assign(m_uploadDisabled, m_isUploading || formProblem().has_value(),
           &FileUploaderState::uploadDisabledChanged);
}

APIService FileUploaderState::serviceForRun() const
{
    if (m_apiService)
        return *m_apiService;
    return m_sessionManager ? m_sessionManager->apiService() : APIService();
}

void FileUploaderState::startUpload()
{
    if (const std::optional<QString> problem = formProblem()) {
        setStatusMessage(*problem);
        return;
    }
    UploadPlan plan;
    if (m_selectedFileFormat != FileFormat::separate)
        plan.videoFiles = {m_selectedFile};
    else
        plan.videoFiles = {m_selectedFileLeft, m_selectedFileRight};
    if (m_selectedFileFormat == FileFormat::appleImmersive) {
        plan.aimeFile = m_selectedAIMEFile;
        plan.fcpxmlFile = m_selectedFCPXMLZip;
    }

    QStringList paths;
    for (const QUrl &file : {plan.aimeFile, plan.fcpxmlFile}) {
        if (!file.isEmpty())
            paths.append(file.toLocalFile());
    }
    for (const QUrl &file : std::as_const(plan.videoFiles))
        paths.append(file.toLocalFile());

    m_transferEstimate.emplace(TransferRateEstimator::Clock::now());
    setIsUploading(true);
    setStatusMessage(QStringLiteral("Uploading…"));
    m_logs.clear();
    Q_EMIT logsChanged();
    setProgress(0.0);

    const RunHandle run{this, ++m_runGeneration};
    runUpload(std::move(plan), run, serviceForRun());
    // Started once the run waits for its first step, so that it never holds the run up.
    measurePlannedFiles(paths, run);
}

QCoro::Task<> FileUploaderState::measurePlannedFiles(QStringList paths, RunHandle run)
{
    QFuture<QList<qint64>> measuring = QtConcurrent::run(plannedFileSizes, paths);
    const QList<qint64> sizes = co_await measuring;
    FileUploaderState *state = run.current();
    if (state && state->m_transferEstimate)
        state->m_transferEstimate->planFiles(sizes);
}

void FileUploaderState::cancelUpload()
{
    if (m_currentCancellation)
        m_currentCancellation->cancel();
    setIsUploading(false);
    setStatusMessage(QStringLiteral("Upload canceled"));
}

FileUploaderState *FileUploaderState::RunHandle::current() const
{
    return state && state->m_runGeneration == generation ? state.data() : nullptr;
}

QCoro::Task<> FileUploaderState::runUpload(UploadPlan plan, RunHandle run, APIService apiService)
{
    CancellationToken cancellation;
    run.state->m_currentCancellation = &cancellation;
    // Requests of a closed screen stop; nothing would show their outcome.
    connect(run.state, &QObject::destroyed, &cancellation, &CancellationToken::cancel);

    const auto fail = [&run](const Error &error) {
        if (FileUploaderState *state = run.current())
            state->handleUploadError(error);
    };

    std::optional<QString> aimeUrl;
    if (!plan.aimeFile.isEmpty()) {
        const auto stored = co_await uploadOneFile(plan.aimeFile, run, apiService, &cancellation);
        if (!stored) {
            fail(stored.error());
            co_return;
        }
        aimeUrl = stored.value();
    }
    std::optional<QString> fcpxmlUrl;
    if (!plan.fcpxmlFile.isEmpty()) {
        const auto stored = co_await uploadOneFile(plan.fcpxmlFile, run, apiService, &cancellation);
        if (!stored) {
            fail(stored.error());
            co_return;
        }
        fcpxmlUrl = stored.value();
    }
    QStringList uploadedUrls;
    for (const QUrl &file : std::as_const(plan.videoFiles)) {
        const auto stored = co_await uploadOneFile(file, run, apiService, &cancellation);
        if (!stored) {
            fail(stored.error());
            co_return;
        }
        uploadedUrls.append(stored.value());
    }
    co_await registerVideo(uploadedUrls, aimeUrl, fcpxmlUrl, run, apiService, &cancellation);
}

QCoro::Task<Result<QString>> FileUploaderState::uploadOneFile(QUrl file, RunHandle run,
                                                             const APIService &apiService,
                                                             CancellationToken *cancellation)
{
    const QString fileName = file.fileName();
    const QString path = file.toLocalFile();
    QFuture<Result<qint64>> inspecting = QtConcurrent::run(inspectLocalFile, path, fileName);
    const Result<qint64> fileSize = co_await inspecting;
    if (!fileSize)
        co_return fileSize.error();
    if (!run.state)
        co_return screenClosed();
    if (FileUploaderState *state = run.current(); state && state->m_transferEstimate)
        state->m_transferEstimate->beginFile(fileSize.value());
    const std::optional<QString> apiKey = run.state->currentApiKey();
    if (!apiKey)
        co_return signedOutError();

    const auto session =
            co_await apiService.requestUploadSession(*apiKey, fileName, fileSize.value(), cancellation);
    if (!session)
        co_return session.error();
    if (FileUploaderState *state = run.current())
        state->appendLogLine(QStringLiteral("🎬 Uploading ") + fileName + QStringLiteral("…"));
    Diagnostics::printLine(QStringLiteral("Presigned chunk urls"));
    Diagnostics::printLine(describeChunkUrls(session.value().presignedChunkUrls));

    const QString &completeUploadUrlText = session.value().completeUploadUrl;
    const QUrl completeUploadUrl(completeUploadUrlText, QUrl::StrictMode);
    if (!completeUploadUrl.isValid() || completeUploadUrl.isRelative())
        co_return Error::badUrl(completeUploadUrlText);

    const std::function<void(const QString &)> forwardProgress = [run](const QString &message) {
        if (FileUploaderState *state = run.current())
            state->appendLog(message);
    };
    const std::optional<QUrl> completion = completeUploadUrl;
    const bool stored = co_await uploadFileSequentially(file, session.value().chunkSize,
                                                        session.value().presignedChunkUrls,
                                                        completion, forwardProgress, cancellation);
    if (!stored)
        co_return Error::upload(transferFailed, QStringLiteral("Failed to upload ") + fileName);
    if (FileUploaderState *state = run.current())
        state->appendLogLine(QStringLiteral("✅ Finished ") + fileName);
    co_return session.value().bbUrl;
}

QCoro::Task<> FileUploaderState::registerVideo(QStringList uploadedUrls,
                                               std::optional<QString> aimeUrl,
                                               std::optional<QString> fcpxmlUrl, RunHandle run,
                                               const APIService &apiService,
                                               CancellationToken *cancellation)
{
    if (!run.state)
        co_return;
    const std::optional<QString> apiKey = run.state->currentApiKey();
    if (!apiKey) {
        if (FileUploaderState *state = run.current())
            state->handleUploadError(signedOutError());
        co_return;
    }
    const QString uploadedUrl = uploadedUrls.value(0);
    std::optional<QString> uploadedUrlRight;
    if (uploadedUrls.size() > 1)
        uploadedUrlRight = uploadedUrls.value(1);
    const QString fileFormat = run.state->m_selectedFileFormat;
    const bool is3D = fileFormat != FileFormat::twoD;
    const qint64 perspective = perspectiveValue(run.state->m_selectedPerspective);
    const QString videoName = run.state->m_videoName;
    const auto entry = co_await apiService.submitLibraryData(*apiKey, uploadedUrl, uploadedUrlRight,
                                                             fileFormat, is3D, perspective, videoName,
                                                             aimeUrl, fcpxmlUrl, cancellation);

    FileUploaderState *state = run.current();
    if (!state)
        co_return;
    if (!entry) {
        state->appendLogLine(QStringLiteral("API Error: ") + entry.error().description() + u'\n');
        state->handleUploadError(entry.error());
        co_return;
    }
    state->appendLogLine(QStringLiteral("Video uploaded. Library ID: ")
                         + QString::number(entry.value().id) + QStringLiteral(", Name: ")
                         + entry.value().videoName + u'\n');
    state->markUploadCompleted();
}

void FileUploaderState::markUploadCompleted()
{
    setIsUploading(false);
    setStatusMessage(QStringLiteral("Upload completed!"));
    setShowSuccessAnimation(true);
    m_successOverlayTimer.start();
}

void FileUploaderState::handleUploadError(const Error &error)
{
    setIsUploading(false);
    setStatusMessage(QStringLiteral("Upload failed: ") + error.description());
    appendLogLine(QStringLiteral("❌ Upload errored: ") + error.description());
}

std::optional<QString> FileUploaderState::currentApiKey() const
{
    return m_sessionManager ? m_sessionManager->apiKey() : std::nullopt;
}

void FileUploaderState::appendLog(const QString &message)
{
    for (const QString &ignored : ignoredMessages) {
        if (message.contains(ignored))
            return;
    }
    const qsizetype percentSign = message.indexOf(u'%');
    if (percentSign < 0) {
        appendLogLine(message);
        return;
    }
    Diagnostics::printLine(QStringLiteral("Recieved log ") + message);
    const double percentage = percentageBefore(message, percentSign);
    Diagnostics::printLine(QString::number(percentage));
    appendLogLine(message);
    if (percentage != 0.0) {
        setProgress(percentage / 100.0);
        noteStoredShare(percentage / 100.0);
    }
}

void FileUploaderState::noteStoredShare(double share)
{
    if (!m_isUploading || !m_transferEstimate)
        return;
    m_transferEstimate->fileProgress(share, TransferRateEstimator::Clock::now());
    refreshTransferEstimate();
}

void FileUploaderState::refreshTransferEstimate()
{
    QString speed;
    QString remaining;
    if (m_isUploading && m_transferEstimate) {
        const auto now = TransferRateEstimator::Clock::now();
        if (const std::optional<double> rate = m_transferEstimate->bytesPerSecond(now))
            speed = formatTransferSpeed(*rate);
        if (const std::optional<std::chrono::seconds> left = m_transferEstimate->timeRemaining(now))
            remaining = formatTimeRemaining(*left);
    }
    if (speed == m_transferSpeedText && remaining == m_remainingTimeText)
        return;
    m_transferSpeedText = speed;
    m_remainingTimeText = remaining;
    Q_EMIT transferEstimateChanged();
}

qint64 FileUploaderState::userPerceivedLength(const QString &text)
{
    QTextBoundaryFinder boundaries(QTextBoundaryFinder::Grapheme, text);
    qint64 length = 0;
    while (boundaries.toNextBoundary() != -1)
        ++length;
    return length;
}

void FileUploaderState::appendLogLine(const QString &message)
{
    m_logs += message + u'\n';
    // The whole text is counted every time: the counts of lines do not add up (see tailStart).
    if (userPerceivedLength(m_logs) > maxLogLength)
        m_logs.remove(0, tailStart(m_logs, maxLogLength));
    Q_EMIT logsChanged();
}
