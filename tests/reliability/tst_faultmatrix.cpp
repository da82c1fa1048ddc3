#include "AsyncSleep.h"
#include "DevService.h"
#include "Diagnostics.h"
#include "FileUploaderState.h"
#include "OutageWait.h"
#include "SessionManager.h"
#include "StorageClient.h"
#include "WorkflowRun.h"

#include <QFile>
#include <QJsonArray>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>

using namespace std::chrono_literals;

namespace {
constexpr qint64 chunk = 2560 * 1024;
// Three parts, the last one short.
constexpr qint64 multipartSize = 2 * chunk + 12345;
// One PUT streamed in three of the file reader's blocks.
constexpr qint64 singlePutSize = 2200 * 1024;
const QString completed = QStringLiteral("Upload completed!");
const QString storeError = QStringLiteral(
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Error><Code>InternalError</Code>"
    "<Message>We encountered an internal error. Please try again.</Message></Error>");

QJsonObject fault(const char *kind, const char *action, QJsonObject fields = {})
{
    fields.insert(QStringLiteral("kind"), QLatin1String(kind));
    fields.insert(QStringLiteral("action"), QLatin1String(action));
    return fields;
}

// Rows "NAME: WAY" for the answers to a request of `kind` that are no answer at all, each
// ending in the outcome listed for it.
void addUnreadableAnswers(const char *kind, const char *name, const QStringList &outcomes)
{
    const QString html = QStringLiteral("<!DOCTYPE html><html><head><title>502 Bad Gateway</title></head></html>");
    const QList<std::pair<const char *, QJsonObject>> answers = {
        {"garbage", fault(kind, "respond", {{"status", 200}, {"body", "{\"id\": 7,"}})},
        {"HTML", fault(kind, "respond", {{"status", 200}, {"body", html}, {"contentType", "text/html"}})},
        {"empty body", fault(kind, "respond", {{"status", 200}})},
        {"20 MiB body", fault(kind, "respond", {{"status", 200}, {"body", "x"}, {"repeat", 20 * 1024 * 1024}})}};
    for (qsizetype i = 0; i < answers.size(); ++i)
        QTest::addRow("%s: %s", name, answers[i].first) << answers[i].second << multipartSize << outcomes[i] << "" << "";
}

// One line of the summary table.
struct MatrixRow { QString fault; int injected = 0; QString outcome; bool handled = false; };
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
    QList<MatrixRow> rows;
    int faultsAdded = 0;
    int localFaults = 0;
    // What each file held when it was picked, by file name.
    QHash<QString, QByteArray> pickedHashes;
    QString pickedFileName;
    int completedButNotStored = 0;

    // The fault counts as injected once it has acted.
    void inject(const QJsonObject &description)
    {
        QVERIFY2(stack.addFault(description), "the stack refused the fault");
        faultsAdded += description.value(QStringLiteral("count")).toInt(1);
    }

    // The hash of the object the library holds for `fileName`; empty when it holds none.
    QByteArray registeredHash(const QString &fileName)
    {
        QString bbUrl;
        for (const QJsonValue handedOut : stack.sessions()) {
            if (handedOut[QLatin1String("fileName")].toString() == fileName)
                bbUrl = handedOut[QLatin1String("bbUrl")].toString();
        }
        for (const QJsonValue entry : stack.library()) {
            if (!bbUrl.isEmpty() && entry[QLatin1String("video_url_left")].toString() == bbUrl) {
                const auto object = stack.object(bbUrl);
                return object ? sha256(*object) : QByteArray("missing");
            }
        }
        return {};
    }

    // "cancel", "delete" or "shrink to BYTES", done once and counted as a fault.
    std::function<void()> localFault(const QString &action, const QString &path)
    {
        return [this, action, path, done = std::make_shared<bool>(false)] {
            if (std::exchange(*done, true))
                return;
            ++localFaults;
            if (action == u"cancel")
                state->cancelUpload();
            else if (action == u"delete")
                QFile::remove(path);
            else
                QFile::resize(path, action.section(u' ', 2).toLongLong());
        };
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
        OutageWait::setTimeScale(0.05);
    }

    void init()
    {
        rows.append({QString::fromUtf8(QTest::currentDataTag()), 0, {}, false});
        faultsAdded = 0;
        localFaults = 0;
        state = std::make_unique<FileUploaderState>(APIService(stack.apiUrl()));
        state->setSessionManager(session.get());
    }

    void cleanup()
    {
        MatrixRow &row = rows.last();
        const std::optional<int> pending = stack.pendingFaultCount();
        row.injected = localFaults + faultsAdded - pending.value_or(faultsAdded);
        row.handled = !QTest::currentTestFailed() && pending == 0;
        if (row.outcome.isEmpty())
            row.outcome = state->statusMessage();
        // Told it is done, the user may delete the file: it had better be in the library, whole.
        if (row.outcome == completed && registeredHash(pickedFileName) != pickedHashes.value(pickedFileName))
            ++completedButNotStored;
        stack.clearFaults();
        AsyncSleep::setObserver({});
        StorageClient::setStallTimeout(60s);
        state.reset();
    }

    // A row: the stack's fault, if any; the size of the file picked; the failure the user is told,
    // or that it completed; a diagnostic line the run printed; what the test itself does to the
    // run as "ACTION on TRIGGER" (TRIGGER: "start"; "stall", once the fault holds its request;
    // "log TEXT", at the first log line holding TEXT; "wait MS", at the first wait that long).
    void uploadUnderFault_data()
    {
        QTest::addColumn<QJsonObject>("injected");
        QTest::addColumn<qint64>("size");
        QTest::addColumn<QString>("outcome");
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("local");
        const auto row = [](const char *name, const QJsonObject &injected, qint64 size, const QString &outcome,
                            const QString &line = {}, const QString &local = {}) {
            QTest::newRow(name) << injected << size << outcome << line << local;
        };
        const qint64 parts = multipartSize;
        const qint64 put = singlePutSize;
        const QString failed = QStringLiteral("Failed to upload %1");
        const QString cancelled = QStringLiteral("Operation canceled");
        const QString noETag = QStringLiteral("Failed to retrieve the ETag from response headers.");
        const QString firstAttempt = QStringLiteral("⚠️ Upload attempt 1 failed for part ");
        const QString cancelOnStall = QStringLiteral("cancel on stall");

        // Retried to an identical object. libcurl may resend a request whose kept-alive connection
        // closed without an answer on its own, so whether an attempt line appears is its business.
        row("storage 500 on a part", fault("part", "respond", {{"status", 500}, {"skip", 1}}), parts, completed,
            firstAttempt + "2: HTTP 500");
        row("storage 503 on a part, twice", fault("part", "respond", {{"status", 503}, {"skip", 1}, {"count", 2}}),
            parts, completed, "✅ Upload succeeded on retry 3 for part 2");
        row("storage 503 on the single PUT", fault("put", "respond", {{"status", 503}}), put, completed,
            "✅ Upload succeeded on retry 2 for part 1");
        row("connection reset mid-part", fault("part", "drop", {{"afterBytes", 65536}, {"skip", 1}}), parts, completed);
        row("connection reset after a part was stored", fault("part", "drop-response", {{"skip", 2}}), parts, completed);
        row("connection reset mid single PUT", fault("put", "drop", {{"afterBytes", 4096}}), put, completed);
        row("missing ETag on a part", fault("part", "omit-etag", {{"skip", 1}}), parts, completed,
            firstAttempt + "2: " + noETag);
        row("missing ETag on the single PUT", fault("put", "omit-etag"), put, completed, firstAttempt + "1: " + noETag);
        row("completion answered 200 with <Error>", fault("complete", "respond", {{"status", 200}, {"body", storeError}}),
            parts, completed);
        row("completion answered 200, keep-alive blanks, then <Error>",
            fault("complete", "respond", {{"status", 200}, {"body", "\n \n \n" + storeError}}), parts, completed);
        row("completion answered 500 three times", fault("complete", "respond", {{"status", 500}, {"count", 3}}), parts,
            completed);
        // Nobody cancels this stall: the stall window ends it.
        row("stalled part (stall window cut to 3 s)", fault("part", "stall", {{"skip", 1}}), parts, completed,
            firstAttempt + "2: The request timed out.");

        // Outages outlast a part's attempts: waited out, the run goes on from the part that failed.
        row("storage away for 3 s", fault("part", "refuse", {{"durationMs", 3000}, {"skip", 1}}), parts, completed,
            "⏳ Waiting 2 s for the network: could not connect to storage");
        row("storage 503 on two rounds of a part's tries",
            fault("part", "respond", {{"status", 503}, {"skip", 1}, {"count", 6}}), parts, completed,
            "⏳ Waiting 4 s for storage: storage answered 503");
        row("completion answered 503 beyond its tries", fault("complete", "respond", {{"status", 503}, {"count", 5}}),
            parts, completed, "⏳ Waiting 2 s for storage: storage answered 503");

        // Faults that persist fail the upload cleanly.
        row("storage 403 on every try", fault("part", "respond", {{"status", 403}, {"skip", 1}, {"count", 3}}), parts,
            failed, "❌ Upload failed for chunk 2: HTTP 403");
        row("storage 403 on every try of the single PUT", fault("put", "respond", {{"status", 403}, {"count", 3}}), put,
            failed, "❌ Single upload failed: HTTP 403");
        row("missing ETag on every try", fault("part", "omit-etag", {{"count", 3}}), parts, failed,
            "❌ Upload failed for chunk 1: " + noETag);
        row("completion answered 200 with <Error> on every try",
            fault("complete", "respond", {{"status", 200}, {"body", storeError}, {"count", 4}}), parts, failed,
            "❌ Error finalizing upload: UploadError (code 200): Server returned an error: InternalError: "
            "We encountered an internal error. Please try again.");
        // The store assembled the object but the answer was lost; every later try finds the
        // upload gone. The user is told it failed: never done when it may not be.
        row("completion answer lost", fault("complete", "drop-response"), parts, failed,
            "❌ Error finalizing upload: UploadError (code 404): Server returned an error");

        // Answers of the service that are no upload session, no library entry or no workspace. The
        // file is stored in the second case, but only the library's entry makes the run done;
        // in the last, the user ends up signed out with a reason rather than half loaded, and
        // keeps the stored key: such an answer is not the service refusing it.
        addUnreadableAnswers("session", "upload session",
                             {"The upload session is not valid JSON: unterminated object at offset 9.",
                              "The upload session is not valid JSON: illegal value at offset 1.",
                              "The upload session is not valid JSON: illegal value at offset 0.",
                              "The upload session is larger than 16777216 bytes."});
        addUnreadableAnswers("library", "library",
                             QStringList(4, "The library entry in the service's answer could not be read."));
        addUnreadableAnswers("startup", "startup", QStringList(4, "signed out: ServiceUnreachable"));

        // The source changed under the run. Linux keeps a deleted file's data for whoever has it
        // open; the single PUT, shrunk between two tries, stops short of sending a truncated object.
        row("source deleted mid-upload", {}, parts, completed, "", "delete on log Uploaded (");
        row("source shrunk mid-upload", {}, parts, failed, "❌ Read chunk size mismatch: expected 2621440, got 100",
            QStringLiteral("shrink to %1 on log Uploaded (").arg(chunk + 100));
        row("source shrunk between two tries of the single PUT", fault("put", "respond", {{"status", 503}}), put, failed,
            "❌ Single upload failed: The file became shorter while it was being sent.", "shrink to 1572864 on wait 500");

        // Cancelled at each point the run awaits something.
        row("cancel as soon as the run starts", {}, parts, cancelled, "", "cancel on start");
        row("cancel while the session is asked for", fault("session", "stall"), parts, cancelled, "", cancelOnStall);
        row("cancel before the first part", {}, parts, failed, "", "cancel on log 🎬 Uploading ");
        row("cancel while the first part is sent", fault("part", "stall"), parts, failed, "", cancelOnStall);
        row("cancel while a middle part is sent", fault("part", "stall", {{"skip", 1}}), parts, failed, "", cancelOnStall);
        row("cancel while the last part is sent", fault("part", "stall", {{"skip", 2}}), parts, failed, "", cancelOnStall);
        row("cancel while a part waits to be retried", fault("part", "respond", {{"status", 503}, {"skip", 1}}), parts,
            failed, "", "cancel on wait 500");
        row("cancel between two parts", {}, parts, failed, "", "cancel on log Uploaded (");
        row("cancel while the single PUT is sent", fault("put", "stall"), put, failed, "", cancelOnStall);
        row("cancel while the completion is sent", fault("complete", "stall"), parts, failed, "", cancelOnStall);
        row("cancel while the completion waits to be retried", fault("complete", "respond", {{"status", 500}}), parts,
            failed, "", "cancel on wait 2000");
        row("cancel while the library entry is asked for", fault("library", "stall"), parts, cancelled, "", cancelOnStall);
    }

    void uploadUnderFault()
    {
        QFETCH(QJsonObject, injected);
        QFETCH(qint64, size);
        QFETCH(QString, outcome);
        QFETCH(QString, line);
        QFETCH(QString, local);
        if (!injected.isEmpty())
            inject(injected);
        if (injected.value(QLatin1String("kind")).toString() == u"startup") {
            SessionManager loading{APIService(stack.apiUrl())};
            loading.setApiKey(DevService::demoKey);
            Diagnostics::Capture output;
            QCoro::waitFor(loading.fetchWorkspaceData());
            QVERIFY(!loading.hasApiKey() && !loading.hasWorkspace());
            rows.last().outcome = "signed out: " + QVariant::fromValue(loading.signOutReason()).toString();
            QCOMPARE(rows.last().outcome, outcome);
            return;
        }
        pickedFileName = QStringLiteral("run %1.mov").arg(rows.size());
        outcome.replace(u"%1"_qs, pickedFileName);
        const QString path = folder.filePath(pickedFileName);
        const QByteArray bytes = sampleBytes(pickedFileName, size);
        QVERIFY(writeFile(path, bytes));
        pickedHashes.insert(pickedFileName, sha256(bytes));
        pickVideo(*state, QUrl::fromLocalFile(path));
        if (injected.value(QLatin1String("action")).toString() == u"stall" && local.isEmpty())
            StorageClient::setStallTimeout(3s); // long enough for any answer on a busy machine

        QStringList statuses;
        QObject scope; // the connections below go with it
        connect(state.get(), &FileUploaderState::statusMessageChanged, &scope,
                [&] { statuses.append(state->statusMessage()); });
        const QString trigger = local.section(u" on "_qs, 1);
        const auto act = localFault(local.section(u" on "_qs, 0, 0), path);
        connect(state.get(), &FileUploaderState::logsChanged, &scope, [this, trigger, act] {
            if (trigger.startsWith(u"log ") && state->logs().contains(trigger.mid(4)))
                act();
        });
        AsyncSleep::setObserver([trigger, act](std::chrono::nanoseconds wait) {
            if (trigger == "wait " + QString::number(wait / 1ms))
                act();
        });

        Diagnostics::Capture output;
        state->startUpload();
        QVERIFY(state->isUploading());
        if (trigger == u"stall")
            QTRY_VERIFY_WITH_TIMEOUT(stack.pendingFaultCount() == 0, 60000);
        if (trigger == u"start" || trigger == u"stall")
            act();
        QVERIFY2(waitUntilRunEnds(*state), qPrintable(runSummary(*state)));
        QCOMPARE(localFaults, local.isEmpty() ? 0 : 1);
        if (!line.isEmpty())
            QVERIFY2(output.lines().contains(line), qPrintable(output.lines().join('\n')));
        QCOMPARE(state->statusMessage(), outcome == completed ? completed : "Upload failed: " + outcome);
        // A cancelled run says so at once; its failure report comes later.
        if (local.startsWith(u"cancel"))
            QCOMPARE(statuses.mid(statuses.size() - 2), QStringList({"Upload canceled", state->statusMessage()}));
        if (outcome == completed) {
            QCOMPARE(registeredHash(pickedFileName), pickedHashes.value(pickedFileName));
            QCOMPARE(state->progress(), 1.0);
            return;
        }
        QVERIFY2(state->logs().endsWith("❌ Upload errored: " + outcome + "\n"), qPrintable(state->logs()));
        QVERIFY(!state->isUploading());
        QVERIFY(!statuses.contains(completed));
        QCOMPARE(registeredHash(pickedFileName), QByteArray());
    }

    void cleanupTestCase()
    {
        const int registered = int(stack.library().size());
        int identical = 0;
        for (auto picked = pickedHashes.cbegin(); picked != pickedHashes.cend(); ++picked)
            identical += registeredHash(picked.key()) == picked.value() ? 1 : 0;
        const int lost = completedButNotStored + registered - identical;

        int injected = 0;
        int handled = 0;
        std::printf("\n%-60s %8s  %-7s  %s\n", "Fault", "Injected", "Handled", "Outcome");
        for (const MatrixRow &row : std::as_const(rows)) {
            injected += row.injected;
            handled += row.handled ? row.injected : 0;
            std::printf("%-60s %8d  %-7s  %s\n", qPrintable(row.fault), row.injected, row.handled ? "yes" : "NO",
                        qPrintable(row.outcome));
        }
        std::printf("%d objects registered, %d of them byte-identical to their source\n"
                    "%d faults injected, %d handled, %d lost\n\n", registered, identical, injected, handled, lost);
        std::fflush(stdout);
        QCOMPARE(handled, injected);
        QCOMPARE(lost, 0);
        QVERIFY(identical > 0);
    }
};

QTEST_GUILESS_MAIN(FaultMatrixTest)
#include "tst_faultmatrix.moc"
