#include "AsyncSleep.h"
#include "DevService.h"
#include "Diagnostics.h"
#include "FileUploaderState.h"
#include "StorageClient.h"
#include "SessionManager.h"
#include "WorkflowRun.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QJsonArray>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>
#include <functional>

using namespace std::chrono_literals;

namespace {
constexpr qint64 chunk = 2560 * 1024;
// Three parts, the last one short.
constexpr qint64 multipartSize = 2 * chunk + 12345;
// One PUT streamed in three of the file reader's blocks.
constexpr qint64 singlePutSize = 2200 * 1024;

const QByteArray storeErrorDocument =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Error><Code>InternalError</Code>"
    "<Message>We encountered an internal error. Please try again.</Message></Error>";
const QByteArray htmlPage =
    "<!DOCTYPE html><html><head><title>502 Bad Gateway</title></head><body><h1>502 Bad Gateway</h1></body></html>";
constexpr int twentyMebibytes = 20 * 1024 * 1024;

QJsonObject fault(const char *kind, const char *action, QJsonObject fields = {})
{
    fields.insert(QStringLiteral("kind"), QLatin1String(kind));
    fields.insert(QStringLiteral("action"), QLatin1String(action));
    return fields;
}

// One line of the summary table.
struct MatrixRow
{
    QString fault;
    int injected = 0;
    QString outcome;
    bool handled = false;
};
}

// Faults injected into whole uploads against the local service and S3 store, through the
// upload screen's workflow: each must end in the outcome the user is told, without a crash or a
// hang, and nothing may be registered that is not byte for byte the file the user picked.
class FaultMatrixTest : public QObject
{
    Q_OBJECT

    DevService stack;
    QTemporaryDir folder;
    std::unique_ptr<SessionManager> session;
    std::unique_ptr<FileUploaderState> state;
    QStringList statuses;

    QList<MatrixRow> rows;
    int faultsAdded = 0;
    int localFaults = 0;
    // The bytes each file held when it was picked, by file name.
    QHash<QString, QByteArray> pickedHashes;
    QString pickedFileName;
    int completedButNotStored = 0;

    // Adds the fault; it counts as injected once it has acted.
    void inject(const QJsonObject &description)
    {
        QVERIFY2(stack.addFault(description), "the stack refused the fault");
        faultsAdded += description.value(QStringLiteral("count")).toInt(1);
    }

    // A fault made here rather than by the stack: a cancellation, a file changed under the run.
    std::function<void()> injectedLocally(std::function<void()> fault)
    {
        return [this, fault = std::move(fault)] {
            ++localFaults;
            fault();
        };
    }

    QUrl pick(const QString &fileName, qint64 size)
    {
        const QByteArray bytes = sampleBytes(fileName, size);
        const QString path = folder.filePath(fileName);
        if (!writeFile(path, bytes))
            return {};
        pickedHashes.insert(fileName, sha256(bytes));
        pickedFileName = fileName;
        const QUrl file = QUrl::fromLocalFile(path);
        pickVideo(*state, file);
        return file;
    }

    // Runs `action` once, the first time the log gets a line holding `text`.
    void onFirstLogLine(const QString &text, std::function<void()> action)
    {
        auto done = std::make_shared<bool>(false);
        connect(state.get(), &FileUploaderState::logsChanged, this, [this, text, action, done] {
            if (!*done && state->logs().contains(text)) {
                *done = true;
                action();
            }
        });
    }

    // Runs `action` once, when the transfer first waits `duration` before trying again.
    void onFirstWait(std::chrono::nanoseconds duration, std::function<void()> action)
    {
        auto done = std::make_shared<bool>(false);
        AsyncSleep::setObserver([duration, action, done](std::chrono::nanoseconds requested) {
            if (!*done && requested == duration) {
                *done = true;
                action();
            }
        });
    }

    // Waits until every fault added has acted, which for a stall means its request is now
    // hanging in the stack.
    bool waitUntilFaultsActed()
    {
        QDeadlineTimer fallback(60s);
        while (stack.pendingFaultCount() != 0) {
            if (fallback.hasExpired())
                return false;
            QTest::qWait(10);
        }
        return true;
    }

    std::optional<QJsonObject> sessionFor(const QString &fileName)
    {
        for (const QJsonValue handedOut : stack.sessions()) {
            if (handedOut[QLatin1String("fileName")].toString() == fileName)
                return handedOut.toObject();
        }
        return std::nullopt;
    }

    bool isRegistered(const QString &bbUrl)
    {
        const QJsonArray entries = stack.library();
        return std::any_of(entries.begin(), entries.end(), [&bbUrl](const QJsonValue &entry) {
            return entry[QLatin1String("video_url_left")].toString() == bbUrl;
        });
    }

    bool isStoredAndRegistered(const QString &fileName)
    {
        const auto handedOut = sessionFor(fileName);
        if (!handedOut)
            return false;
        const QString bbUrl = handedOut->value(QStringLiteral("bbUrl")).toString();
        const auto object = stack.object(bbUrl);
        return isRegistered(bbUrl) && object && sha256(*object) == pickedHashes.value(fileName);
    }

    void expectStoredAndRegistered(const QString &fileName)
    {
        QCOMPARE(state->statusMessage(), "Upload completed!");
        QVERIFY(state->logs().contains(u"Video uploaded. Library ID: "));
        QVERIFY2(isStoredAndRegistered(fileName), "the object registered is not the file picked");
    }

    // The failure the user is told of, as the status and as the last line of the log.
    void expectFailure(const QString &description)
    {
        QCOMPARE(state->statusMessage(), "Upload failed: " + description);
        QVERIFY2(state->logs().endsWith("❌ Upload errored: " + description + "\n"), qPrintable(state->logs()));
        QCOMPARE(state->isUploading(), false);
    }

    void expectNotRegistered(const QString &fileName, std::optional<bool> objectStored)
    {
        const auto handedOut = sessionFor(fileName);
        if (!handedOut)
            return;
        const QString bbUrl = handedOut->value(QStringLiteral("bbUrl")).toString();
        QVERIFY(!isRegistered(bbUrl));
        if (objectStored)
            QCOMPARE(stack.object(bbUrl).has_value(), *objectStored);
    }

    void expectCancelledThenFailed()
    {
        QVERIFY2(statuses.contains("Upload canceled"), qPrintable(statuses.join(" | ")));
        QVERIFY(statuses.indexOf("Upload canceled") < statuses.size() - 1);
        QVERIFY(!statuses.contains("Upload completed!"));
    }

    // The table names a row after its data tag, or else after this.
    void describeRow(const QString &fault) { rows.last().fault = fault; }

    QString rowName() const
    {
        const QString tag = QString::fromUtf8(QTest::currentDataTag());
        return tag.isEmpty() ? QString::fromUtf8(QTest::currentTestFunction()) : tag;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        QVERIFY(folder.isValid());
        QVERIFY2(stack.start({"--chunk-size", QString::number(chunk), "--min-part-size", "0"}),
                 qPrintable(stack.failure()));
        session = std::make_unique<SessionManager>(APIService(stack.apiUrl()));
        session->setApiKey(DevService::demoKey);
        AsyncSleep::setTimeScale(0.001);
    }

    void init()
    {
        MatrixRow row;
        row.fault = rowName();
        rows.append(row);
        faultsAdded = 0;
        localFaults = 0;
        pickedFileName.clear();
        state = std::make_unique<FileUploaderState>(APIService(stack.apiUrl()));
        state->setSessionManager(session.get());
        statuses.clear();
        connect(state.get(), &FileUploaderState::statusMessageChanged, this,
                [this] { statuses.append(state->statusMessage()); });
    }

    void cleanup()
    {
        MatrixRow &row = rows.last();
        const std::optional<int> pending = stack.pendingFaultCount();
        row.injected = localFaults + faultsAdded - pending.value_or(faultsAdded);
        if (row.outcome.isEmpty() && state)
            row.outcome = state->statusMessage();
        row.handled = !QTest::currentTestFailed() && pending == 0;
        // Told it is done, the user may delete the file: it had better be in the library, whole.
        if (row.outcome == u"Upload completed!" && !isStoredAndRegistered(pickedFileName))
            ++completedButNotStored;
        stack.clearFaults();
        AsyncSleep::setObserver({});
        StorageClient::setStallTimeout(60s);
        state.reset();
    }

    void storageFaultsAreRetriedToAnIdenticalObject_data()
    {
        QTest::addColumn<QJsonArray>("injected");
        QTest::addColumn<qint64>("size");
        QTest::addColumn<QString>("attemptLine");

        QTest::newRow("storage 500 on a part")
            << QJsonArray{fault("part", "respond", {{"status", 500}, {"skip", 1}})} << multipartSize
            << "⚠️ Upload attempt 1 failed for part 2: HTTP 500";
        QTest::newRow("storage 503 on a part, twice")
            << QJsonArray{fault("part", "respond", {{"status", 503}, {"skip", 1}, {"count", 2}})} << multipartSize
            << "✅ Upload succeeded on retry 3 for part 2";
        QTest::newRow("storage 503 on the single PUT")
            << QJsonArray{fault("put", "respond", {{"status", 503}})} << singlePutSize
            << "✅ Upload succeeded on retry 2 for part 1";
        // libcurl may resend a request whose kept-alive connection closed without an answer on
        // its own, so whether an attempt line appears is its business.
        QTest::newRow("connection reset mid-part")
            << QJsonArray{fault("part", "drop", {{"afterBytes", 65536}, {"skip", 1}})} << multipartSize << "";
        QTest::newRow("connection reset after a part was stored")
            << QJsonArray{fault("part", "drop-response", {{"skip", 2}})} << multipartSize << "";
        QTest::newRow("connection reset mid single PUT")
            << QJsonArray{fault("put", "drop", {{"afterBytes", 4096}})} << singlePutSize << "";
        QTest::newRow("missing ETag on a part")
            << QJsonArray{fault("part", "omit-etag", {{"skip", 1}})} << multipartSize
            << "⚠️ Upload attempt 1 failed for part 2: Failed to retrieve the ETag from response headers.";
        QTest::newRow("missing ETag on the single PUT")
            << QJsonArray{fault("put", "omit-etag")} << singlePutSize
            << "⚠️ Upload attempt 1 failed for part 1: Failed to retrieve the ETag from response headers.";
        QTest::newRow("completion answered 200 with <Error>")
            << QJsonArray{fault("complete", "respond", {{"status", 200}, {"body", QString(storeErrorDocument)}})}
            << multipartSize << "";
        QTest::newRow("completion answered 200, keep-alive blanks, then <Error>")
            << QJsonArray{fault("complete", "respond",
                                {{"status", 200}, {"body", "\n \n \n" + QString(storeErrorDocument)}})}
            << multipartSize << "";
        QTest::newRow("completion answered 500 three times")
            << QJsonArray{fault("complete", "respond", {{"status", 500}, {"count", 3}})} << multipartSize << "";
    }

    void storageFaultsAreRetriedToAnIdenticalObject()
    {
        QFETCH(QJsonArray, injected);
        QFETCH(qint64, size);
        QFETCH(QString, attemptLine);
        for (const QJsonValue description : injected)
            inject(description.toObject());
        const QString fileName = QStringLiteral("retried %1.mov").arg(rows.size());
        QVERIFY(!pick(fileName, size).isEmpty());

        Diagnostics::Capture output;
        QVERIFY2(startAndFinish(*state), qPrintable(runSummary(*state)));
        expectStoredAndRegistered(fileName);
        if (!attemptLine.isEmpty())
            QVERIFY2(output.lines().contains(attemptLine), qPrintable(output.lines().join('\n')));
        QCOMPARE(state->progress(), 1.0);
    }

    void aStalledPartTimesOutAndIsRetried()
    {
        describeRow(QStringLiteral("stalled part (stall window cut to 3 s)"));
        // Long enough for any answer on a busy machine, short enough to wait for.
        StorageClient::setStallTimeout(3s);
        inject(fault("part", "stall", {{"skip", 1}}));
        const QString fileName = QStringLiteral("stalled.mov");
        QVERIFY(!pick(fileName, multipartSize).isEmpty());

        Diagnostics::Capture output;
        QVERIFY2(startAndFinish(*state), qPrintable(runSummary(*state)));
        expectStoredAndRegistered(fileName);
        QVERIFY2(output.lines().contains("⚠️ Upload attempt 1 failed for part 2: The request timed out."),
                 qPrintable(output.lines().join('\n')));
    }

    void storageFaultsThatPersistFailTheUploadCleanly_data()
    {
        QTest::addColumn<QJsonArray>("injected");
        QTest::addColumn<qint64>("size");
        QTest::addColumn<QString>("driverLine");
        QTest::addColumn<bool>("objectStored");

        QTest::newRow("storage 403 on every try")
            << QJsonArray{fault("part", "respond", {{"status", 403}, {"skip", 1}, {"count", 3}})} << multipartSize
            << "❌ Upload failed for chunk 2: HTTP 403" << false;
        QTest::newRow("storage 403 on every try of the single PUT")
            << QJsonArray{fault("put", "respond", {{"status", 403}, {"count", 3}})} << singlePutSize
            << "❌ Single upload failed: HTTP 403" << false;
        QTest::newRow("missing ETag on every try")
            << QJsonArray{fault("part", "omit-etag", {{"count", 3}})} << multipartSize
            << "❌ Upload failed for chunk 1: Failed to retrieve the ETag from response headers." << false;
        QTest::newRow("completion answered 200 with <Error> on every try")
            << QJsonArray{fault("complete", "respond",
                                {{"status", 200}, {"body", QString(storeErrorDocument)}, {"count", 4}})}
            << multipartSize
            << "❌ Error finalizing upload: UploadError (code 200): Server returned an error: InternalError: "
               "We encountered an internal error. Please try again."
            << false;
        // The store assembled the object but the answer was lost; every later try finds the
        // upload gone. The user is told it failed: never done when it may not be.
        QTest::newRow("completion answer lost")
            << QJsonArray{fault("complete", "drop-response")} << multipartSize
            << "❌ Error finalizing upload: UploadError (code 404): Server returned an error" << true;
    }

    void storageFaultsThatPersistFailTheUploadCleanly()
    {
        QFETCH(QJsonArray, injected);
        QFETCH(qint64, size);
        QFETCH(QString, driverLine);
        QFETCH(bool, objectStored);
        for (const QJsonValue description : injected)
            inject(description.toObject());
        const QString fileName = QStringLiteral("refused %1.mov").arg(rows.size());
        QVERIFY(!pick(fileName, size).isEmpty());

        Diagnostics::Capture output;
        QVERIFY2(startAndFinish(*state), qPrintable(runSummary(*state)));
        expectFailure("Failed to upload " + fileName);
        QVERIFY2(output.lines().contains(driverLine), qPrintable(output.lines().join('\n')));
        expectNotRegistered(fileName, objectStored);
    }

    void serviceAnswersThatAreNoUploadSession_data()
    {
        QTest::addColumn<QJsonObject>("answer");
        QTest::addColumn<QString>("description");
        // The parser's own words follow these.
        const QString notJson = QStringLiteral("The upload session is not valid JSON: ");
        QTest::newRow("upload session: garbage")
            << fault("session", "respond", {{"status", 200}, {"body", "{\"uploadId\": tru"}}) << notJson;
        QTest::newRow("upload session: HTML")
            << fault("session", "respond", {{"status", 200}, {"body", QString(htmlPage)}, {"contentType", "text/html"}})
            << notJson;
        QTest::newRow("upload session: empty body") << fault("session", "respond", {{"status", 200}}) << notJson;
        QTest::newRow("upload session: 20 MiB body")
            << fault("session", "respond", {{"status", 200}, {"body", "x"}, {"repeat", twentyMebibytes}})
            << "The upload session is larger than 16777216 bytes.";
    }

    void serviceAnswersThatAreNoUploadSession()
    {
        QFETCH(QJsonObject, answer);
        QFETCH(QString, description);
        inject(answer);
        const QString fileName = QStringLiteral("no session %1.mov").arg(rows.size());
        QVERIFY(!pick(fileName, multipartSize).isEmpty());
        const qsizetype storageRequests = stack.storageRequests().size();

        Diagnostics::Capture output;
        QVERIFY2(startAndFinish(*state), qPrintable(runSummary(*state)));
        QVERIFY2(state->statusMessage().startsWith("Upload failed: " + description), qPrintable(state->statusMessage()));
        const QString told = state->statusMessage().mid(QStringLiteral("Upload failed: ").size());
        QCOMPARE(state->logs(), "❌ Upload errored: " + told + "\n");
        QVERIFY(!sessionFor(fileName));
        QCOMPARE(stack.storageRequests().size(), storageRequests);
    }

    void serviceAnswersThatAreNoLibraryEntry_data()
    {
        QTest::addColumn<QJsonObject>("answer");
        QTest::newRow("library: garbage") << fault("library", "respond", {{"status", 200}, {"body", "[{\"id\": 7,"}});
        QTest::newRow("library: HTML")
            << fault("library", "respond", {{"status", 200}, {"body", QString(htmlPage)}, {"contentType", "text/html"}});
        QTest::newRow("library: empty body") << fault("library", "respond", {{"status", 200}});
        QTest::newRow("library: 20 MiB body")
            << fault("library", "respond", {{"status", 200}, {"body", "x"}, {"repeat", twentyMebibytes}});
    }

    // The file is stored, but the run only counts as done once the library has the entry.
    void serviceAnswersThatAreNoLibraryEntry()
    {
        QFETCH(QJsonObject, answer);
        inject(answer);
        const QString fileName = QStringLiteral("unregistered %1.mov").arg(rows.size());
        QVERIFY(!pick(fileName, multipartSize).isEmpty());

        Diagnostics::Capture output;
        QVERIFY2(startAndFinish(*state), qPrintable(runSummary(*state)));
        const QString description = QStringLiteral("The library entry in the service's answer could not be read.");
        expectFailure(description);
        QVERIFY(state->logs().contains("✅ Finished " + fileName + "\nAPI Error: " + description + "\n\n"));
        expectNotRegistered(fileName, true);
    }

    void startupAnswersThatAreNoWorkspace_data()
    {
        QTest::addColumn<QJsonObject>("answer");
        QTest::newRow("startup: garbage") << fault("startup", "respond", {{"status", 200}, {"body", "{]"}});
        QTest::newRow("startup: HTML")
            << fault("startup", "respond", {{"status", 200}, {"body", QString(htmlPage)}, {"contentType", "text/html"}});
        QTest::newRow("startup: empty body") << fault("startup", "respond", {{"status", 200}});
        QTest::newRow("startup: 20 MiB body")
            << fault("startup", "respond", {{"status", 200}, {"body", "x"}, {"repeat", twentyMebibytes}});
    }

    // Whatever the service says, the user ends up signed out with a reason rather than in a
    // half-loaded session.
    void startupAnswersThatAreNoWorkspace()
    {
        QFETCH(QJsonObject, answer);
        inject(answer);
        SessionManager loading{APIService(stack.apiUrl())};
        loading.setApiKey(DevService::demoKey);
        Diagnostics::Capture output;
        QCoro::waitFor(loading.fetchWorkspaceData());
        QVERIFY(!loading.hasApiKey());
        QVERIFY(!loading.hasWorkspace());
        QVERIFY(loading.signOutReason() != SessionManager::SignOutReason::None);
        rows.last().outcome = QStringLiteral("signed out: ") + QVariant::fromValue(loading.signOutReason()).toString();
    }

    // Linux keeps a deleted file's data for whoever has it open: the run stores what was picked.
    void sourceDeletedMidUploadStillStoresWhatWasPicked()
    {
        describeRow(QStringLiteral("source deleted mid-upload"));
        const QString fileName = QStringLiteral("deleted midway.mov");
        const QUrl file = pick(fileName, multipartSize);
        onFirstLogLine("Uploaded (", injectedLocally([file] { QFile::remove(file.toLocalFile()); }));

        Diagnostics::Capture output;
        QVERIFY2(startAndFinish(*state), qPrintable(runSummary(*state)));
        QVERIFY(!QFile::exists(file.toLocalFile()));
        expectStoredAndRegistered(fileName);
    }

    void sourceShrunkMidUploadFails()
    {
        describeRow(QStringLiteral("source shrunk mid-upload"));
        const QString fileName = QStringLiteral("shrunk midway.mov");
        const QUrl file = pick(fileName, multipartSize);
        onFirstLogLine("Uploaded (", injectedLocally([file] { QFile::resize(file.toLocalFile(), chunk + 100); }));

        Diagnostics::Capture output;
        QVERIFY2(startAndFinish(*state), qPrintable(runSummary(*state)));
        expectFailure("Failed to upload " + fileName);
        QVERIFY(output.lines().contains("❌ Read chunk size mismatch: expected 2621440, got 100"));
        expectNotRegistered(fileName, false);
    }

    // The single PUT streams the file; shrunk between two attempts, every later one stops
    // short instead of sending a truncated object.
    void sourceShrunkBetweenAttemptsOfTheSinglePutFails()
    {
        describeRow(QStringLiteral("source shrunk between two tries of the single PUT"));
        inject(fault("put", "respond", {{"status", 503}}));
        const QString fileName = QStringLiteral("shrunk between attempts.mov");
        const QUrl file = pick(fileName, singlePutSize);
        onFirstWait(500ms, injectedLocally([file] { QFile::resize(file.toLocalFile(), 1536 * 1024); }));

        Diagnostics::Capture output;
        QVERIFY2(startAndFinish(*state), qPrintable(runSummary(*state)));
        expectFailure("Failed to upload " + fileName);
        QVERIFY2(output.lines().contains("❌ Single upload failed: The file became shorter while it was being sent."),
                 qPrintable(output.lines().join('\n')));
        // s3rver keeps what arrived of a PUT cut short (S3 would not), so only the library tells.
        expectNotRegistered(fileName, std::nullopt);
    }

    void cancellingAtEveryAwaitPoint_data()
    {
        QTest::addColumn<QString>("point");
        QTest::addColumn<qint64>("size");
        QTest::addColumn<QString>("description");
        const QString transferFailed = QStringLiteral("Failed to upload cancelled %1.mov");
        const QString cancelled = QStringLiteral("Operation canceled");
        QTest::newRow("cancel as soon as the run starts") << "start" << multipartSize << cancelled;
        QTest::newRow("cancel while the session is asked for") << "session" << multipartSize << cancelled;
        QTest::newRow("cancel before the first part") << "before parts" << multipartSize << transferFailed;
        QTest::newRow("cancel while the first part is sent") << "first part" << multipartSize << transferFailed;
        QTest::newRow("cancel while a middle part is sent") << "middle part" << multipartSize << transferFailed;
        QTest::newRow("cancel while the last part is sent") << "last part" << multipartSize << transferFailed;
        QTest::newRow("cancel while a part waits to be retried") << "part retry" << multipartSize << transferFailed;
        QTest::newRow("cancel between two parts") << "between parts" << multipartSize << transferFailed;
        QTest::newRow("cancel while the single PUT is sent") << "put" << singlePutSize << transferFailed;
        QTest::newRow("cancel while the completion is sent") << "complete" << multipartSize << transferFailed;
        QTest::newRow("cancel while the completion waits to be retried")
            << "complete retry" << multipartSize << transferFailed;
        QTest::newRow("cancel while the library entry is asked for") << "library" << multipartSize << cancelled;
    }

    void cancellingAtEveryAwaitPoint()
    {
        QFETCH(QString, point);
        QFETCH(qint64, size);
        QFETCH(QString, description);
        const QString fileName = QStringLiteral("cancelled %1.mov").arg(rows.size());
        if (description.contains(u"%1"))
            description = description.arg(rows.size());
        QVERIFY(!pick(fileName, size).isEmpty());
        const auto cancel = injectedLocally([this] { state->cancelUpload(); });
        // Requests that stall are cancelled once they hang in the stack: the kind of request, and
        // how many of that kind pass first.
        const QMap<QString, std::pair<const char *, int>> stalls = {
            {"session", {"session", 0}}, {"first part", {"part", 0}}, {"middle part", {"part", 1}},
            {"last part", {"part", 2}}, {"put", {"put", 0}}, {"complete", {"complete", 0}},
            {"library", {"library", 0}}};
        if (stalls.contains(point)) {
            const auto [kind, skip] = stalls.value(point);
            inject(fault(kind, "stall", {{"skip", skip}}));
        }
        if (point == u"before parts")
            onFirstLogLine("🎬 Uploading ", cancel);
        if (point == u"between parts")
            onFirstLogLine("Uploaded (", cancel);
        if (point == u"part retry") {
            inject(fault("part", "respond", {{"status", 503}, {"skip", 1}}));
            onFirstWait(500ms, cancel);
        }
        if (point == u"complete retry") {
            inject(fault("complete", "respond", {{"status", 500}}));
            onFirstWait(2s, cancel);
        }

        Diagnostics::Capture output;
        state->startUpload();
        QVERIFY(state->isUploading());
        if (point == u"start")
            cancel();
        if (stalls.contains(point)) {
            QVERIFY(waitUntilFaultsActed());
            cancel();
        }
        QVERIFY2(waitUntilRunEnds(*state), qPrintable(runSummary(*state)));
        expectFailure(description);
        expectCancelledThenFailed();
        expectNotRegistered(fileName, point == u"library");
        if (point == u"start" || point == u"session")
            QVERIFY(!sessionFor(fileName));
        if (point == u"library")
            QVERIFY(state->logs().contains("API Error: Operation canceled\n"));
    }

    void cleanupTestCase()
    {
        // Every entry in the library, whichever row made it, holds exactly the picked bytes.
        QHash<QString, QString> fileNames;
        for (const QJsonValue handedOut : stack.sessions())
            fileNames.insert(handedOut["bbUrl"].toString(), handedOut["fileName"].toString());
        const QJsonArray entries = stack.library();
        int identical = 0;
        for (const QJsonValue entry : entries) {
            const QString bbUrl = entry["video_url_left"].toString();
            const auto object = stack.object(bbUrl);
            if (object && sha256(*object) == pickedHashes.value(fileNames.value(bbUrl)))
                ++identical;
        }
        const int lost = completedButNotStored + int(entries.size()) - identical;

        int injected = 0;
        int handled = 0;
        std::printf("\n%-60s %8s  %-7s  %s\n", "Fault", "Injected", "Handled", "Outcome");
        for (const MatrixRow &row : std::as_const(rows)) {
            injected += row.injected;
            handled += row.handled ? row.injected : 0;
            std::printf("%-60s %8d  %-7s  %s\n", qPrintable(row.fault), row.injected, row.handled ? "yes" : "NO",
                        qPrintable(row.outcome));
        }
        std::printf("%d objects registered, %d of them byte-identical to their source\n", int(entries.size()),
                    identical);
        std::printf("%d faults injected, %d handled, %d lost\n\n", injected, handled, lost);
        std::fflush(stdout);
        QCOMPARE(handled, injected);
        QCOMPARE(lost, 0);
        QVERIFY(identical > 0);
    }
};

QTEST_GUILESS_MAIN(FaultMatrixTest)
#include "tst_faultmatrix.moc"
