#pragma once

#include "APIService.h"
#include "CancellationToken.h"
#include "Error.h"
#include "OutageWait.h"
#include "StorageClient.h"
#include "UploadRecord.h"
#include "UploadRecordStore.h"

#include <QCoro/QCoroTask>
#include <QList>
#include <QObject>

#include <functional>
#include <memory>
#include <optional>

// One run of the upload screen: its files in upload order (AIME, FCPXML, then the video files),
// what storage holds of each, the registration of the video, and its cancellation. It goes on
// from a record of an earlier run, sending only what storage lacks, and keeps its record on disk
// after every stored part when given a store. It reports upward through its signals only; it
// knows nothing of the screen.
class UploadRun : public QObject, public std::enable_shared_from_this<UploadRun>
{
    Q_OBJECT

public:
    // The key of the signed-in user, read at every request; none once they have signed out.
    using ApiKeySource = std::function<std::optional<QString>()>;

    // A new run of `plan`.
    UploadRun(UploadPlan plan, APIService apiService, ApiKeySource apiKey);
    // Goes on from `record`, with its plan as given there.
    UploadRun(UploadRecord record, APIService apiService, ApiKeySource apiKey);

    // Keeps the record there from now on, under `workspaceId`.
    void keepRecordIn(UploadRecordStore store, qint64 workspaceId);

    // The run holds itself until it has ended, whoever else lets go of it.
    static void start(std::shared_ptr<UploadRun> run);

    const UploadRecord &record() const { return m_record; }

    // The awaited requests and waits end early; the run then fails through them.
    void cancel();
    // Nobody listens any more: the run cancels and makes no further request.
    void abandon();

Q_SIGNALS:
    // The sizes of all the files, as the run starts (0 for a file that cannot be sent).
    void filesMeasured(const QList<qint64> &sizes);
    void fileStarted(qint64 size);
    // The workflow's own lines, to be logged as they are.
    void logLine(const QString &line);
    // The transfer's progress texts.
    void transferMessage(const QString &message);
    // Storage cannot be reached for now; the run tries again at `outage.nextTry`.
    void waitingForOutage(const Outage &outage);
    void outageOver();
    void completed();
    void failed(const Error &error);

private:
    static QCoro::Task<> execute(std::shared_ptr<UploadRun> run);
    QCoro::Task<> inspectFiles();
    QCoro::Task<Result<void>> storeFile(qsizetype index);
    // What the file's session and stored parts are worth now: nothing, when the file has changed
    // or the session's links have expired.
    void checkResumable(qsizetype index, const std::optional<FileIdentity> &identity);
    void startFileOver(qsizetype index, const QString &why);
    QCoro::Task<Result<void>> requestSession(qsizetype index);
    void reportResume(qsizetype index);
    // The run counts as completed only once the library entry is back.
    QCoro::Task<> registerVideo();
    void save(bool sessionsChanged);

    UploadRecord m_record;
    std::optional<UploadRecordStore> m_store;
    bool m_saveFailureReported = false;
    const APIService m_apiService;
    const ApiKeySource m_apiKey;
    CancellationToken m_cancellation;
    OutageWait m_outageWait;
    // One connection for every file of the run: storage is reached, and TLS negotiated, once.
    StorageClient m_storage;
    bool m_abandoned = false;
};
