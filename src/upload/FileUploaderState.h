#pragma once

#include "APIService.h"
#include "AppManager.h"
#include "Error.h"
#include "SessionManager.h"
#include "SleepInhibitor.h"
#include "TransferRateEstimator.h"

#include <QCoro/QCoroTask>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QTimer>
#include <QUrl>
#include <QVariantMap>
#include <QtQmlIntegration>

#include <chrono>
#include <optional>

class CancellationToken;

// The state and the upload task behind the upload screen (FileUploaderView.qml binds to it and
// calls its operations). Everything runs on the UI thread; the task only suspends in its
// network requests. A file URL that is empty means "no file chosen".
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
    Q_PROPERTY(double uploadButtonScale READ uploadButtonScale WRITE setUploadButtonScale NOTIFY uploadButtonScaleChanged)
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

public:
    // In user-perceived characters.
    static constexpr qint64 maxLogLength = 10000;
    // The count maxLogLength is in: Qt's grapheme clusters.
    static qint64 userPerceivedLength(const QString &text);
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

    QUrl selectedFile() const { return m_selectedFile; }
    void setSelectedFile(const QUrl &file);
    QUrl selectedFileLeft() const { return m_selectedFileLeft; }
    void setSelectedFileLeft(const QUrl &file);
    QUrl selectedFileRight() const { return m_selectedFileRight; }
    void setSelectedFileRight(const QUrl &file);
    QUrl selectedAIMEFile() const { return m_selectedAIMEFile; }
    void setSelectedAIMEFile(const QUrl &file);
    QUrl selectedFCPXMLZip() const { return m_selectedFCPXMLZip; }
    void setSelectedFCPXMLZip(const QUrl &file);

    QString statusMessage() const { return m_statusMessage; }
    void setStatusMessage(const QString &message);
    bool isUploading() const { return m_isUploading; }
    QString logs() const { return m_logs; }
    double progress() const { return m_progress; }
    QString transferSpeedText() const { return m_transferSpeedText; }
    QString remainingTimeText() const { return m_remainingTimeText; }
    bool showSuccessAnimation() const { return m_showSuccessAnimation; }
    void setShowSuccessAnimation(bool show);
    bool isHeaderHovered() const { return m_isHeaderHovered; }
    void setIsHeaderHovered(bool hovered);
    double uploadButtonScale() const { return m_uploadButtonScale; }
    void setUploadButtonScale(double scale);
    bool showDetails() const { return m_showDetails; }
    void setShowDetails(bool show);
    QString videoName() const { return m_videoName; }
    void setVideoName(const QString &name);
    QString selectedFileFormat() const { return m_selectedFileFormat; }
    void setSelectedFileFormat(const QString &label);
    QString selectedPerspective() const { return m_selectedPerspective; }
    void setSelectedPerspective(const QString &perspective);
    QVariantMap hoverStates() const { return m_hoverStates; }
    bool requiresAIMEAndFCPXML() const { return m_requiresAIMEAndFCPXML; }
    bool uploadDisabled() const { return m_uploadDisabled; }

    static QStringList fileFormatOptions();
    static QStringList perspectiveOptions();

    Q_INVOKABLE void setHoverState(const QString &label, bool hovered);

    // The action of a format button: sets the format and clears the other mode's files.
    Q_INVOKABLE void selectFileFormat(const QString &label);
    // Run after every change of selectedFile and of selectedFileFormat.
    void handleSelectedFileChange(const QUrl &newFile);
    void handleFileFormatChange();

    Q_INVOKABLE void startUpload();
    Q_INVOKABLE void cancelUpload();

    // A progress message of the transfer. Filtered, and its percentage moves the progress bar;
    // the workflow's own lines never come through here.
    Q_INVOKABLE void appendLog(const QString &message);

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
    void uploadButtonScaleChanged();
    void showDetailsChanged();
    void videoNameChanged();
    void selectedFileFormatChanged();
    void selectedPerspectiveChanged();
    void hoverStatesChanged();
    void requiresAIMEAndFCPXMLChanged();
    void uploadDisabledChanged();
    void transferEstimateChanged();

private:
    FileUploaderState(std::optional<APIService> apiService, QObject *parent);

    // The files of one run, fixed when it starts; an empty side file URL means none.
    struct UploadPlan
    {
        QList<QUrl> videoFiles;
        QUrl aimeFile;
        QUrl fcpxmlFile;
    };

    // How a run reaches the state: only the most recently started run may change it, and
    // nothing reaches a state object that is gone.
    struct RunHandle
    {
        QPointer<FileUploaderState> state;
        quint64 generation = 0;

        FileUploaderState *current() const;
    };

    // The run's steps reach the state only through `run`: the task may outlive this object.
    static QCoro::Task<> runUpload(UploadPlan plan, RunHandle run, APIService apiService);
    // Tells the run's time estimate how much there is to send in all.
    static QCoro::Task<> measurePlannedFiles(QStringList paths, RunHandle run);
    // Answers the file's storage URL.
    static QCoro::Task<Result<QString>> uploadOneFile(QUrl file, RunHandle run,
                                                      const APIService &apiService,
                                                      CancellationToken *cancellation);
    // The run counts as completed only once the library entry is back.
    static QCoro::Task<> registerVideo(QStringList uploadedUrls, std::optional<QString> aimeUrl,
                                       std::optional<QString> fcpxmlUrl, RunHandle run,
                                       const APIService &apiService,
                                       CancellationToken *cancellation);
    // Why startUpload would refuse the form as it stands, or nothing when it would start.
    std::optional<QString> formProblem() const;
    void refreshUploadDisabled();
    APIService serviceForRun() const;

    void markUploadCompleted();
    void handleUploadError(const Error &error);

    // The key of the signed-in user, or none once they have signed out.
    std::optional<QString> currentApiKey() const;
    // Appends the message as it is, as one line, and keeps the log within maxLogLength. The
    // workflow's own lines, which carry names the user chose, come straight here.
    void appendLogLine(const QString &message);
    void setIsUploading(bool uploading);
    void setProgress(double progress);
    void noteStoredShare(double share);
    void refreshTransferEstimate();
    void setRequiresAIMEAndFCPXML(bool required);

    // Answers whether the value changed.
    template<typename T>
    bool assign(T &field, const T &value, void (FileUploaderState::*changed)());

    const std::optional<APIService> m_apiService;
    QPointer<SessionManager> m_sessionManager;
    QPointer<AppManager> m_appManager;

    QUrl m_selectedFile;
    QUrl m_selectedFileLeft;
    QUrl m_selectedFileRight;
    QUrl m_selectedAIMEFile;
    QUrl m_selectedFCPXMLZip;
    QString m_statusMessage;
    bool m_isUploading = false;
    QString m_logs;
    double m_progress = 0.0;
    bool m_showSuccessAnimation = false;
    bool m_isHeaderHovered = false;
    double m_uploadButtonScale = 1.0;
    bool m_showDetails = true;
    QString m_videoName;
    QString m_selectedFileFormat;
    QString m_selectedPerspective;
    QVariantMap m_hoverStates;
    bool m_requiresAIMEAndFCPXML = false;
    bool m_uploadDisabled = true;

    // The run started last; its token lives in the run and is gone once the run has ended.
    quint64 m_runGeneration = 0;
    QPointer<CancellationToken> m_currentCancellation;
    QTimer m_successOverlayTimer;

    // Of the run started last, until it ends.
    std::optional<TransferRateEstimator> m_transferEstimate;
    QString m_transferSpeedText;
    QString m_remainingTimeText;
    // Between two stored parts the remaining time counts down, and a stall shows.
    QTimer m_transferEstimateRefresh;
    SleepInhibitor m_sleepInhibitor;
};
