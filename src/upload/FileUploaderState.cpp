#include "FileUploaderState.h"

#include "AssignProperty.h"
#include "FileFormat.h"
#include "UploadRun.h"

namespace {
const QString sleepInhibitionReason = QStringLiteral("Uploading a video");

// The files a run sends, in their roles: a kept run goes on only with the same ones.
QList<std::pair<RunFile::Role, QUrl>> filesOf(const UploadPlan &plan)
{
    QList<std::pair<RunFile::Role, QUrl>> files;
    if (!plan.aimeFile.isEmpty())
        files.append({RunFile::Role::aime, plan.aimeFile});
    if (!plan.fcpxmlFile.isEmpty())
        files.append({RunFile::Role::fcpxml, plan.fcpxmlFile});
    for (const QUrl &file : plan.videoFiles)
        files.append({RunFile::Role::video, file});
    return files;
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
    for (const auto formChanged : {&UploadForm::selectedFileChanged, &UploadForm::selectedFileLeftChanged,
                                   &UploadForm::selectedFileRightChanged, &UploadForm::selectedAIMEFileChanged,
                                   &UploadForm::selectedFCPXMLZipChanged, &UploadForm::selectedFileFormatChanged})
        connect(&m_form, formChanged, this, &FileUploaderState::refreshCanResume);
    connect(this, &FileUploaderState::isUploadingChanged, this, &FileUploaderState::refreshCanResume);
    m_outageCountdown.setInterval(std::chrono::seconds(1));
    connect(&m_outageCountdown, &QTimer::timeout, this, &FileUploaderState::showOutage);
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
    if (m_sessionManager)
        disconnect(m_sessionManager, nullptr, this, nullptr);
    m_sessionManager = sessionManager;
    if (m_sessionManager) {
        connect(m_sessionManager, &SessionManager::workspaceDataChanged, this,
                &FileUploaderState::offerInterruptedUpload);
        offerInterruptedUpload();
    }
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
    if (m_keptRecord)
        m_recordStore.remove(m_keptRecord->workspaceId);
    m_keptRecord.reset();
    run(std::make_shared<UploadRun>(m_form.plan(), serviceForRun(), apiKeySource()));
}

void FileUploaderState::resumeUpload()
{
    if (const std::optional<QString> problem = m_form.problem()) {
        setStatusMessage(*problem);
        return;
    }
    if (!m_canResume)
        return;
    UploadRecord record = *m_keptRecord;
    record.plan = m_form.plan();
    run(std::make_shared<UploadRun>(std::move(record), serviceForRun(), apiKeySource()));
}

std::function<std::optional<QString>()> FileUploaderState::apiKeySource() const
{
    // The run may outlive this state.
    return [self = QPointer<const FileUploaderState>(this)]() -> std::optional<QString> {
        return self ? self->currentApiKey() : std::nullopt;
    };
}

void FileUploaderState::run(std::shared_ptr<UploadRun> run)
{
    setIsUploading(true);
    setStatusMessage(QStringLiteral("Uploading…"));
    m_log.clear();
    setProgress(0.0);

    // An earlier run goes on by itself, and reaches this state no more.
    if (m_run)
        disconnect(m_run.get(), nullptr, nullptr, nullptr);
    m_run = std::move(run);
    // Under the workspace signed in as the run starts; without one it can go on until a quit.
    if (m_sessionManager && m_sessionManager->workspaceData())
        m_run->keepRecordIn(m_recordStore, m_sessionManager->workspaceData()->id);
    m_keptRecord.reset();
    refreshCanResume();
    // Requests of a closed screen stop; nothing would show their outcome.
    connect(this, &QObject::destroyed, m_run.get(), &UploadRun::abandon);
    connect(m_run.get(), &UploadRun::filesMeasured, &m_transferEstimate, &TransferEstimate::planFiles);
    connect(m_run.get(), &UploadRun::fileStarted, &m_transferEstimate, &TransferEstimate::beginFile);
    connect(m_run.get(), &UploadRun::logLine, &m_log, &UploadLog::appendLine);
    connect(m_run.get(), &UploadRun::transferMessage, &m_log, &UploadLog::append);
    connect(m_run.get(), &UploadRun::waitingForOutage, this, [this](const Outage &outage) {
        m_outage = outage;
        m_outageCountdown.start();
        showOutage();
    });
    connect(m_run.get(), &UploadRun::outageOver, this, [this] {
        m_outage.reset();
        m_outageCountdown.stop();
        if (m_isUploading)
            setStatusMessage(QStringLiteral("Uploading…"));
    });
    connect(m_run.get(), &UploadRun::completed, this, &FileUploaderState::markUploadCompleted);
    connect(m_run.get(), &UploadRun::failed, this, &FileUploaderState::handleUploadError);
    UploadRun::start(m_run);
}

void FileUploaderState::showOutage()
{
    if (m_outage && m_isUploading)
        setStatusMessage(OutageWait::statusText(*m_outage, QDateTime::currentDateTimeUtc()));
}

void FileUploaderState::cancelUpload()
{
    if (m_run)
        m_run->cancel();
    setIsUploading(false);
    setStatusMessage(QStringLiteral("Upload canceled"));
}

void FileUploaderState::discardInterruptedUpload()
{
    if (m_keptRecord)
        m_recordStore.remove(m_keptRecord->workspaceId);
    m_keptRecord.reset();
    refreshCanResume();
    if (!m_isUploading)
        setStatusMessage(QStringLiteral("Ready to upload"));
}

QString FileUploaderState::resumeDescription() const
{
    if (!m_keptRecord)
        return {};
    return QStringLiteral("Storage holds %1 % of %2.").arg(m_keptRecord->storedPercent()).arg(m_keptRecord->plan.videoName);
}

void FileUploaderState::refreshCanResume()
{
    const bool canResume = !m_isUploading && m_keptRecord && filesOf(m_keptRecord->plan) == filesOf(m_form.plan());
    assignProperty(this, m_canResume, canResume, &FileUploaderState::canResumeChanged);
}

void FileUploaderState::offerInterruptedUpload()
{
    if (m_isUploading || m_keptRecord || m_run || !m_sessionManager || !m_sessionManager->workspaceData())
        return;
    const auto loaded = m_recordStore.load(m_sessionManager->workspaceData()->id);
    if (!loaded) {
        setStatusMessage(loaded.error().description());
        return;
    }
    if (!loaded.value())
        return;
    const UploadRecord &record = *loaded.value();
    m_form.selectFileFormat(record.plan.fileFormat);
    m_form.setVideoName(record.plan.videoName);
    m_form.setSelectedPerspective(record.plan.perspective);
    if (record.plan.fileFormat == FileFormat::separate) {
        m_form.setSelectedFileLeft(record.plan.videoFiles.value(0));
        m_form.setSelectedFileRight(record.plan.videoFiles.value(1));
    } else {
        m_form.setSelectedFile(record.plan.videoFiles.value(0));
    }
    m_form.setSelectedAIMEFile(record.plan.aimeFile);
    m_form.setSelectedFCPXMLZip(record.plan.fcpxmlFile);
    m_keptRecord = record;
    refreshCanResume();
    setStatusMessage(QStringLiteral("An upload of %1 was interrupted at %2 %.")
                             .arg(record.plan.videoName)
                             .arg(record.storedPercent()));
}

void FileUploaderState::markUploadCompleted()
{
    m_outage.reset();
    m_outageCountdown.stop();
    setIsUploading(false);
    setStatusMessage(QStringLiteral("Upload completed!"));
    setShowSuccessAnimation(true);
    m_successOverlayTimer.start();
}

void FileUploaderState::handleUploadError(const Error &error)
{
    m_outage.reset();
    m_outageCountdown.stop();
    // Whatever storage accepted stays there: the run can go on from it.
    const UploadRecord &record = m_run->record();
    const bool anythingKept = std::any_of(record.files.begin(), record.files.end(),
                                          [](const RunFile &file) { return file.session.has_value(); });
    if (anythingKept)
        m_keptRecord = record;
    setIsUploading(false);
    setStatusMessage(QStringLiteral("Upload failed: ") + error.description());
    m_log.appendLine(QStringLiteral("❌ Upload errored: ") + error.description());
    refreshCanResume();
}
