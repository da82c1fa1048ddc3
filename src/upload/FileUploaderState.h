#pragma once

#include "APIService.h"
#include "AppManager.h"
#include "Error.h"
#include "OutageWait.h"
#include "SessionManager.h"
#include "SleepInhibitor.h"
#include "TransferEstimate.h"
#include "UploadForm.h"
#include "UploadLog.h"
#include "UploadRecordStore.h"

#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QTimer>
#include <QUrl>
#include <QVariantMap>
#include <QtQmlIntegration>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

class UploadRun;

// What the upload screen binds to and calls (FileUploaderView.qml): the form, the log, the
// status of the run started last and the screen's own flags. Everything runs on the UI thread.
// A file URL that is empty means "no file chosen".
class FileUploaderState : public QObject
{
    Q_OBJECT
    QML_ELEMENT

    Q_PROPERTY(SessionManager *sessionManager READ sessionManager WRITE setSessionManager NOTIFY sessionManagerChanged)
    Q_PROPERTY(AppManager *appManager READ appManager WRITE setAppManager NOTIFY appManagerChanged)

    Q_PROPERTY(QUrl selectedFile READ selectedFile WRITE setSelectedFile NOTIFY selectedFileChanged)
    Q_PROPERTY(QUrl selectedFileLeft READ selectedFileLeft WRITE setSelectedFileLeft NOTIFY selectedFileLeftChanged)
    Q_PROPERTY(QUrl selectedFileRight READ selectedFileRight WRITE setSelectedFileRight NOTIFY selectedFileRightChanged)
    Q_PROPERTY(QUrl selectedAIMEFile READ selectedAIMEFile WRITE setSelectedAIMEFile NOTIFY selectedAIMEFileChanged)
    Q_PROPERTY(QUrl selectedFCPXMLZip READ selectedFCPXMLZip WRITE setSelectedFCPXMLZip NOTIFY selectedFCPXMLZipChanged)

    // The single-file picker writes it too.
    Q_PROPERTY(QString statusMessage READ statusMessage WRITE setStatusMessage NOTIFY statusMessageChanged)
    Q_PROPERTY(bool isUploading READ isUploading NOTIFY isUploadingChanged)
    Q_PROPERTY(QString logs READ logs NOTIFY logsChanged)
    Q_PROPERTY(double progress READ progress NOTIFY progressChanged)
    Q_PROPERTY(bool showSuccessAnimation READ showSuccessAnimation WRITE setShowSuccessAnimation NOTIFY showSuccessAnimationChanged)
    Q_PROPERTY(bool isHeaderHovered READ isHeaderHovered WRITE setIsHeaderHovered NOTIFY isHeaderHoveredChanged)
    // Nothing changes it.
    Q_PROPERTY(double uploadButtonScale READ uploadButtonScale CONSTANT)
    Q_PROPERTY(bool showDetails READ showDetails WRITE setShowDetails NOTIFY showDetailsChanged)
    Q_PROPERTY(QString videoName READ videoName WRITE setVideoName NOTIFY videoNameChanged)
    Q_PROPERTY(QString selectedFileFormat READ selectedFileFormat WRITE setSelectedFileFormat NOTIFY selectedFileFormatChanged)
    Q_PROPERTY(QString selectedPerspective READ selectedPerspective WRITE setSelectedPerspective NOTIFY selectedPerspectiveChanged)
    // Pointer-over flags of the format buttons by label; set through setHoverState.
    Q_PROPERTY(QVariantMap hoverStates READ hoverStates NOTIFY hoverStatesChanged)
    Q_PROPERTY(bool requiresAIMEAndFCPXML READ requiresAIMEAndFCPXML NOTIFY requiresAIMEAndFCPXMLChanged)
    // The upload button is disabled: an upload runs, or startUpload would refuse the form.
    Q_PROPERTY(bool uploadDisabled READ uploadDisabled NOTIFY uploadDisabledChanged)

    Q_PROPERTY(QStringList fileFormatOptions READ fileFormatOptions CONSTANT)
    Q_PROPERTY(QStringList perspectiveOptions READ perspectiveOptions CONSTANT)

    // While uploading, once the first part is stored: "12.3 MB/s" and "4 min left" for the whole
    // run. Empty otherwise.
    Q_PROPERTY(QString transferSpeedText READ transferSpeedText NOTIFY transferEstimateChanged)
    Q_PROPERTY(QString remainingTimeText READ remainingTimeText NOTIFY transferEstimateChanged)

    // A run that ended before its video was registered (failed, cancelled, or cut short by a
    // quit or a crash) can go on with the files chosen now: storage keeps what it accepted.
    Q_PROPERTY(bool canResume READ canResume NOTIFY canResumeChanged)
    // How far that run got, for screen readers: "Storage holds 42 % of Reef."
    Q_PROPERTY(QString resumeDescription READ resumeDescription NOTIFY canResumeChanged)

public:
    // In user-perceived characters.
    static constexpr qint64 maxLogLength = UploadLog::maxLength;
    static constexpr std::chrono::milliseconds successOverlayDuration{2000};

    // Talks to the service its session talks to.
    explicit FileUploaderState(QObject *parent = nullptr);
    // Talks to the service at apiService's base URL.
    explicit FileUploaderState(APIService apiService, QObject *parent = nullptr);
    ~FileUploaderState() override;

    SessionManager *sessionManager() const { return m_sessionManager; }
    void setSessionManager(SessionManager *sessionManager);
    AppManager *appManager() const { return m_appManager; }
    void setAppManager(AppManager *appManager);

    QUrl selectedFile() const { return m_form.selectedFile(); }
    void setSelectedFile(const QUrl &file) { m_form.setSelectedFile(file); }
    QUrl selectedFileLeft() const { return m_form.selectedFileLeft(); }
    void setSelectedFileLeft(const QUrl &file) { m_form.setSelectedFileLeft(file); }
    QUrl selectedFileRight() const { return m_form.selectedFileRight(); }
    void setSelectedFileRight(const QUrl &file) { m_form.setSelectedFileRight(file); }
    QUrl selectedAIMEFile() const { return m_form.selectedAIMEFile(); }
    void setSelectedAIMEFile(const QUrl &file) { m_form.setSelectedAIMEFile(file); }
    QUrl selectedFCPXMLZip() const { return m_form.selectedFCPXMLZip(); }
    void setSelectedFCPXMLZip(const QUrl &file) { m_form.setSelectedFCPXMLZip(file); }
    QString videoName() const { return m_form.videoName(); }
    void setVideoName(const QString &name) { m_form.setVideoName(name); }
    QString selectedFileFormat() const { return m_form.selectedFileFormat(); }
    void setSelectedFileFormat(const QString &label) { m_form.setSelectedFileFormat(label); }
    QString selectedPerspective() const { return m_form.selectedPerspective(); }
    void setSelectedPerspective(const QString &perspective) { m_form.setSelectedPerspective(perspective); }
    bool requiresAIMEAndFCPXML() const { return m_form.requiresAIMEAndFCPXML(); }
    bool uploadDisabled() const { return m_form.uploadDisabled(); }

    QString statusMessage() const { return m_statusMessage; }
    void setStatusMessage(const QString &message);
    bool isUploading() const { return m_isUploading; }
    QString logs() const { return m_log.text(); }
    double progress() const { return m_progress; }
    QString transferSpeedText() const { return m_transferEstimate.speedText(); }
    QString remainingTimeText() const { return m_transferEstimate.remainingTimeText(); }
    bool showSuccessAnimation() const { return m_showSuccessAnimation; }
    void setShowSuccessAnimation(bool show);
    bool isHeaderHovered() const { return m_isHeaderHovered; }
    void setIsHeaderHovered(bool hovered);
    double uploadButtonScale() const { return 1.0; }
    bool showDetails() const { return m_showDetails; }
    void setShowDetails(bool show);
    QVariantMap hoverStates() const { return m_hoverStates; }

    static QStringList fileFormatOptions();
    static QStringList perspectiveOptions() { return UploadForm::perspectiveOptions(); }

    Q_INVOKABLE void setHoverState(const QString &label, bool hovered);

    // The action of a format button: sets the format and clears the other mode's files.
    Q_INVOKABLE void selectFileFormat(const QString &label) { m_form.selectFileFormat(label); }
    // Run after every change of selectedFile and of selectedFileFormat.
    void handleSelectedFileChange(const QUrl &newFile) { m_form.handleSelectedFileChange(newFile); }
    void handleFileFormatChange() { m_form.handleFileFormatChange(); }

    // Starts over: what an earlier run kept is forgotten.
    Q_INVOKABLE void startUpload();
    Q_INVOKABLE void cancelUpload();
    // Goes on from the kept run with the form as it is now (a corrected name, format or
    // perspective is what gets registered), sending only what storage lacks.
    Q_INVOKABLE void resumeUpload();
    Q_INVOKABLE void discardInterruptedUpload();
    bool canResume() const { return m_canResume; }
    QString resumeDescription() const;

    // A progress message of the transfer. Filtered, and its percentage moves the progress bar;
    // the workflow's own lines never come through here.
    Q_INVOKABLE void appendLog(const QString &message) { m_log.append(message); }

Q_SIGNALS:
    void sessionManagerChanged();
    void appManagerChanged();
    void selectedFileChanged();
    void selectedFileLeftChanged();
    void selectedFileRightChanged();
    void selectedAIMEFileChanged();
    void selectedFCPXMLZipChanged();
    void statusMessageChanged();
    void isUploadingChanged();
    void logsChanged();
    void progressChanged();
    void showSuccessAnimationChanged();
    void isHeaderHoveredChanged();
    void showDetailsChanged();
    void videoNameChanged();
    void selectedFileFormatChanged();
    void selectedPerspectiveChanged();
    void hoverStatesChanged();
    void requiresAIMEAndFCPXMLChanged();
    void uploadDisabledChanged();
    void transferEstimateChanged();
    void canResumeChanged();

private:
    FileUploaderState(std::optional<APIService> apiService, QObject *parent);

    APIService serviceForRun() const;
    // The key of the signed-in user, or none once they have signed out.
    std::optional<QString> currentApiKey() const;
    std::function<std::optional<QString>()> apiKeySource() const;

    void markUploadCompleted();
    void handleUploadError(const Error &error);
    void setIsUploading(bool uploading);
    void setProgress(double progress);
    void noteStoredShare(double share);
    void run(std::shared_ptr<UploadRun> run);
    void refreshCanResume();
    // Once the workspace is known, an upload of it that a quit or a crash cut short is offered.
    void offerInterruptedUpload();
    void showOutage();

    const std::optional<APIService> m_apiService;
    QPointer<SessionManager> m_sessionManager;
    QPointer<AppManager> m_appManager;

    UploadForm m_form;
    UploadLog m_log;
    QString m_statusMessage;
    bool m_isUploading = false;
    double m_progress = 0.0;
    bool m_showSuccessAnimation = false;
    bool m_isHeaderHovered = false;
    bool m_showDetails = true;
    QVariantMap m_hoverStates;

    // The run started last: only it reaches this state.
    std::shared_ptr<UploadRun> m_run;
    // What a run that ended before registering its video left, while it can go on.
    std::optional<UploadRecord> m_keptRecord;
    bool m_canResume = false;
    UploadRecordStore m_recordStore;
    // While a run waits out an outage, its status counts down to the next try.
    std::optional<Outage> m_outage;
    QTimer m_outageCountdown;
    QTimer m_successOverlayTimer;
    TransferEstimate m_transferEstimate;
    SleepInhibitor m_sleepInhibitor;
};
