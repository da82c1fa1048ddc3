#include "FileUploaderState.h"

#include "AssignProperty.h"
#include "FileFormat.h"
#include "UploadRun.h"

namespace {
const QString sleepInhibitionReason = QStringLiteral("Uploading a video");
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
    , m_sleepInhibitor(sleepInhibitionReason)
{
    connect(this, &FileUploaderState::isUploadingChanged, &m_form,
            [this] { m_form.setUploading(m_isUploading); });
    connect(&m_form, &UploadForm::selectedFileChanged, this, &FileUploaderState::selectedFileChanged);
    connect(&m_form, &UploadForm::selectedFileLeftChanged, this, &FileUploaderState::selectedFileLeftChanged);
    connect(&m_form, &UploadForm::selectedFileRightChanged, this, &FileUploaderState::selectedFileRightChanged);
    connect(&m_form, &UploadForm::selectedAIMEFileChanged, this, &FileUploaderState::selectedAIMEFileChanged);
    connect(&m_form, &UploadForm::selectedFCPXMLZipChanged, this, &FileUploaderState::selectedFCPXMLZipChanged);
    connect(&m_form, &UploadForm::videoNameChanged, this, &FileUploaderState::videoNameChanged);
    connect(&m_form, &UploadForm::selectedFileFormatChanged, this, &FileUploaderState::selectedFileFormatChanged);
    connect(&m_form, &UploadForm::selectedPerspectiveChanged, this, &FileUploaderState::selectedPerspectiveChanged);
    connect(&m_form, &UploadForm::requiresAIMEAndFCPXMLChanged, this,
            &FileUploaderState::requiresAIMEAndFCPXMLChanged);
    connect(&m_form, &UploadForm::uploadDisabledChanged, this, &FileUploaderState::uploadDisabledChanged);

    connect(&m_log, &UploadLog::textChanged, this, &FileUploaderState::logsChanged);
    connect(&m_log, &UploadLog::progressReported, this, [this](double share) {
        setProgress(share);
        noteStoredShare(share);
    });

    connect(&m_transferEstimate, &TransferEstimate::changed, this, &FileUploaderState::transferEstimateChanged);
    m_successOverlayTimer.setSingleShot(true);
    m_successOverlayTimer.setInterval(successOverlayDuration);
    connect(&m_successOverlayTimer, &QTimer::timeout, this,
            [this] { setShowSuccessAnimation(false); });
}

FileUploaderState::~FileUploaderState()
{
    // The run ends once it hears that this is gone (destroyed), and tells nobody.
    if (m_run)
        disconnect(m_run.get(), nullptr, nullptr, nullptr);
    if (m_appManager && m_isUploading)
        m_appManager->setUploadInProgress(false);
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

void FileUploaderState::setStatusMessage(const QString &message)
{
    assignProperty(this, m_statusMessage, message, &FileUploaderState::statusMessageChanged);
}

void FileUploaderState::setShowSuccessAnimation(bool show)
{
    assignProperty(this, m_showSuccessAnimation, show, &FileUploaderState::showSuccessAnimationChanged);
}

void FileUploaderState::setIsHeaderHovered(bool hovered)
{
    assignProperty(this, m_isHeaderHovered, hovered, &FileUploaderState::isHeaderHoveredChanged);
}

void FileUploaderState::setShowDetails(bool show)
{
    assignProperty(this, m_showDetails, show, &FileUploaderState::showDetailsChanged);
}

void FileUploaderState::setIsUploading(bool uploading)
{
    // The machine stays awake for as long as the screen shows an upload running.
    if (uploading) {
        m_sleepInhibitor.acquire();
        m_transferEstimate.start();
    } else {
        m_sleepInhibitor.release();
        m_transferEstimate.stop();
    }
    assignProperty(this, m_isUploading, uploading, &FileUploaderState::isUploadingChanged);
    if (m_appManager)
        m_appManager->setUploadInProgress(uploading);
    m_transferEstimate.refresh();
}

void FileUploaderState::setProgress(double progress)
{
    assignProperty(this, m_progress, progress, &FileUploaderState::progressChanged);
}

void FileUploaderState::noteStoredShare(double share)
{
    if (m_isUploading)
        m_transferEstimate.fileProgress(share);
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

APIService FileUploaderState::serviceForRun() const
{
    if (m_apiService)
        return *m_apiService;
    return m_sessionManager ? m_sessionManager->apiService() : APIService();
}

std::optional<QString> FileUploaderState::currentApiKey() const
{
    return m_sessionManager ? m_sessionManager->apiKey() : std::nullopt;
}

void FileUploaderState::startUpload()
{
    if (const std::optional<QString> problem = m_form.problem()) {
        setStatusMessage(*problem);
        return;
    }
    setIsUploading(true);
    setStatusMessage(QStringLiteral("Uploading…"));
    m_log.clear();
    setProgress(0.0);

    // An earlier run goes on by itself, and reaches this state no more.
    if (m_run)
        disconnect(m_run.get(), nullptr, nullptr, nullptr);
    const QPointer<FileUploaderState> self(this);
    m_run = std::make_shared<UploadRun>(m_form.plan(), serviceForRun(), [self]() -> std::optional<QString> {
        return self ? self->currentApiKey() : std::nullopt;
    });
    // Requests of a closed screen stop; nothing would show their outcome.
    connect(this, &QObject::destroyed, m_run.get(), &UploadRun::abandon);
    connect(m_run.get(), &UploadRun::filesMeasured, &m_transferEstimate, &TransferEstimate::planFiles);
    connect(m_run.get(), &UploadRun::fileStarted, &m_transferEstimate, &TransferEstimate::beginFile);
    connect(m_run.get(), &UploadRun::logLine, &m_log, &UploadLog::appendLine);
    connect(m_run.get(), &UploadRun::transferMessage, &m_log, &UploadLog::append);
    connect(m_run.get(), &UploadRun::completed, this, &FileUploaderState::markUploadCompleted);
    connect(m_run.get(), &UploadRun::failed, this, &FileUploaderState::handleUploadError);
    UploadRun::start(m_run);
}

void FileUploaderState::cancelUpload()
{
    if (m_run)
        m_run->cancel();
    setIsUploading(false);
    setStatusMessage(QStringLiteral("Upload canceled"));
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
    m_log.appendLine(QStringLiteral("❌ Upload errored: ") + error.description());
}
