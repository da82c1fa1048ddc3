#pragma once

#include "APIService.h"
#include "CancellationToken.h"
#include "Error.h"
#include "RunFile.h"
#include "UploadPlan.h"

#include <QCoro/QCoroTask>
#include <QList>
#include <QObject>

#include <functional>
#include <memory>
#include <optional>

// One run of the upload screen: its files in upload order (AIME, FCPXML, then the video files),
// their sessions and storage URLs, the registration of the video, and its cancellation. It
// reports upward through its signals only; it knows nothing of the screen.
class UploadRun : public QObject, public std::enable_shared_from_this<UploadRun>
{
    Q_OBJECT

public:
    // The key of the signed-in user, read at every request; none once they have signed out.
    using ApiKeySource = std::function<std::optional<QString>()>;

    UploadRun(UploadPlan plan, APIService apiService, ApiKeySource apiKey);

    // The run holds itself until it has ended, whoever else lets go of it.
    static void start(std::shared_ptr<UploadRun> run);

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
    void completed();
    void failed(const Error &error);

private:
    static QCoro::Task<> execute(std::shared_ptr<UploadRun> run);
    QCoro::Task<> inspectFiles();
    QCoro::Task<Result<void>> storeFile(qsizetype index);
    // The run counts as completed only once the library entry is back.
    QCoro::Task<> registerVideo();

    const UploadPlan m_plan;
    QList<RunFile> m_files;
    const APIService m_apiService;
    const ApiKeySource m_apiKey;
    CancellationToken m_cancellation;
    bool m_abandoned = false;
};
