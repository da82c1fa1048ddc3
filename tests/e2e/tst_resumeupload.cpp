#include "APIService.h"
#include "ApiKeyPreference.h"
#include "DevService.h"
#include "FileFormat.h"
#include "FileUploaderState.h"
#include "OutageWait.h"
#include "SessionManager.h"
#include "UploadRecordStore.h"
#include "WorkflowRun.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <utime.h>

namespace {
constexpr qint64 chunk = 5 * 1024 * 1024;
// The waits between tries run at a tenth of real time here; so does the outage they outlast.
constexpr double timeScale = 0.1;
constexpr auto outageAtTestScale =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::seconds(20) * timeScale);

// How often storage accepted each part, by upload id and part number.
QMap<std::pair<QString, int>, int> storedPartCounts(DevService &stack)
{
    QMap<std::pair<QString, int>, int> counts;
    for (const QJsonValue &value : stack.storageRequests()) {
        const QJsonObject request = value.toObject();
        if (request["kind"].toString() == u"part" && request["status"].toInt() == 200)
            ++counts[{request["uploadId"].toString(), request["partNumber"].toInt()}];
    }
    return counts;
}

int partRequestCount(DevService &stack)
{
    int count = 0;
    for (const QJsonValue &value : stack.storageRequests())
        count += value.toObject()["kind"].toString() == u"part" || value.toObject()["kind"].toString() == u"put";
    return count;
}

bool waitFor(const std::function<bool()> &condition, std::chrono::milliseconds limit = std::chrono::seconds(60))
{
    return QTest::qWaitFor(condition, int(limit.count()));
}
}

// Runs that end before they are done (storage away, the process killed, a refusal) go on from
// what storage holds, against the real protocol and a real S3 store.
class ResumeUploadTest : public QObject
{
    Q_OBJECT

    DevService stack;
    QTemporaryDir folder;

    QString makeFile(const QString &name, qint64 size)
    {
        const QString path = folder.filePath(name);
        return writeFile(path, sampleBytes(name, size)) ? path : QString();
    }

    // A new process's view: the stored key, its workspace loaded, the record (if any) found.
    std::unique_ptr<SessionManager> signedInSession()
    {
        auto session = std::make_unique<SessionManager>(APIService(stack.apiUrl()));
        waitFor([&] { return session->hasWorkspace(); });
        return session;
    }

    qint64 workspaceId() { return signedInSession()->workspaceData()->id; }

    // A new process's upload screen with a video of `size` bytes picked.
    struct PickedVideo
    {
        std::unique_ptr<SessionManager> session;
        FileUploaderState state;
    };
    std::unique_ptr<PickedVideo> pickedVideo(const QString &name, qint64 size)
    {
        auto picked = std::make_unique<PickedVideo>();
        picked->session = signedInSession();
        picked->state.setSessionManager(picked->session.get());
        pickVideo(picked->state, QUrl::fromLocalFile(makeFile(name, size)));
        return picked;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        QFile::remove(ApiKeyPreference::filePath());
        QVERIFY2(stack.start({"--chunk-size", QString::number(chunk)}), qPrintable(stack.failure()));
        ApiKeyPreference::write(DevService::demoKey);
        OutageWait::setTimeScale(timeScale);
    }

    void init()
    {
        QVERIFY(stack.clearFaults());
        UploadRecordStore().remove(workspaceId());
    }

    void storageAwayForTwentySecondsIsWaitedOut()
    {
        const auto picked = pickedVideo("Outage.mov", 6 * chunk);
        FileUploaderState &state = picked->state;
        QStringList statuses;
        connect(&state, &FileUploaderState::statusMessageChanged, this, [&] { statuses.append(state.statusMessage()); });
        connect(&state, &FileUploaderState::progressChanged, this, [&] {
            if (state.progress() >= 0.3 && state.progress() < 0.4)
                stack.refuseStorageConnections(outageAtTestScale);
        });

        QVERIFY2(startAndFinish(state), qPrintable(runSummary(state)));
        QCOMPARE(state.statusMessage(), "Upload completed!");
        QVERIFY2(statuses.filter("Waiting").size() > 0, qPrintable(statuses.join('\n')));
        const QJsonObject entry = stack.library().last().toObject();
        QCOMPARE(sha256(*stack.object(entry["video_url_left"].toString())), sha256(sampleBytes("Outage.mov", 6 * chunk)));
        for (const int count : storedPartCounts(stack))
            QVERIFY(count <= 2);
    }

    // Killed part-way, the next process offers the upload and sends only what storage lacks.
    void aKilledRunGoesOnInTheNextProcess_data()
    {
        QTest::addColumn<QString>("format");
        QTest::addColumn<QList<qint64>>("sizes");
        // Stored parts (over every file) after which the process is killed.
        QTest::addColumn<int>("killAfterParts");
        // What happens between the kill and the restart.
        QTest::addColumn<QString>("meanwhile");
        QTest::addColumn<QString>("logged");
        QTest::newRow("at half") << FileFormat::twoD << QList<qint64>{8 * chunk} << 4 << "" << "Resuming";
        QTest::newRow("after the left eye") << FileFormat::separate << QList<qint64>{2 * chunk, 3 * chunk} << 2 << ""
                                            << "Resuming";
        QTest::newRow("file touched") << FileFormat::twoD << QList<qint64>{4 * chunk} << 2 << "touch"
                                      << "has changed since its upload began; it will be uploaded from the start.";
        QTest::newRow("links expired") << FileFormat::separate << QList<qint64>{2 * chunk, 3 * chunk} << 3 << "expire"
                                       << "have expired";
    }

    void aKilledRunGoesOnInTheNextProcess()
    {
        QFETCH(QString, format);
        QFETCH(QList<qint64>, sizes);
        QFETCH(int, killAfterParts);
        QFETCH(QString, meanwhile);
        QFETCH(QString, logged);
        const QString name = QString::fromUtf8(QTest::currentDataTag());
        QStringList paths;
        for (qsizetype i = 0; i < sizes.size(); ++i)
            paths.append(makeFile(name + QString::number(i) + ".mov", sizes[i]));
        if (meanwhile == u"expire")
            QVERIFY(stack.setPresignExpiry(std::chrono::seconds(6)));
        const qsizetype libraryBefore = stack.library().size();
        const int partsBefore = storedPartCounts(stack).size();

        QProcess runner;
        runner.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        runner.start(QCoreApplication::applicationDirPath() + "/UploadRunner",
                     QStringList{stack.apiUrl(), format, name} + paths);
        QVERIFY(waitFor([&] { return storedPartCounts(stack).size() - partsBefore >= killAfterParts; }));
        runner.kill();
        QVERIFY(runner.waitForFinished());
        stack.setPresignExpiry(std::chrono::hours(6));
        const auto kept = UploadRecordStore().load(workspaceId());
        QVERIFY(kept && kept.value());
        const UploadRecord atKill = *kept.value();

        if (meanwhile == u"touch") {
            const utimbuf later{2'000'000'000, 2'000'000'000};
            QCOMPARE(::utime(QFile::encodeName(paths[0]).constData(), &later), 0);
        } else if (meanwhile == u"expire") {
            QTest::qWait(7000);
        }
        const auto counts = storedPartCounts(stack);
        const auto session = signedInSession();
        FileUploaderState state;
        state.setSessionManager(session.get());
        QVERIFY(waitFor([&] { return state.canResume(); }, std::chrono::seconds(10)));
        QCOMPARE(state.statusMessage(), QStringLiteral("An upload of %1 was interrupted at %2 %.")
                                                .arg(name).arg(atKill.storedPercent()));
        QCOMPARE(state.videoName(), name);
        state.resumeUpload();
        QVERIFY2(waitUntilRunEnds(state), qPrintable(runSummary(state)));
        QCOMPARE(state.statusMessage(), "Upload completed!");
        QVERIFY2(state.logs().contains(logged), qPrintable(state.logs()));

        QCOMPARE(stack.library().size(), libraryBefore + 1);
        const QJsonObject entry = stack.library().last().toObject();
        const QStringList keys = format == FileFormat::separate ? QStringList{"video_url_left", "video_url_right"}
                                                                : QStringList{"video_url_left"};
        for (qsizetype i = 0; i < keys.size(); ++i) {
            const auto stored = stack.object(entry[keys[i]].toString());
            QVERIFY2(stored && sha256(*stored) == sha256(sampleBytes(name + QString::number(i) + ".mov", sizes[i])),
                     qPrintable(keys[i]));
        }
        // No part the record held at the kill is sent again (a file that starts over gets a new upload).
        const auto after = storedPartCounts(stack);
        for (const RunFile &file : atKill.files) {
            for (const StoredPart &part : file.storedParts) {
                const std::pair<QString, int> key{file.session->uploadId, int(part.partNumber)};
                QCOMPARE(after.value(key), counts.value(key));
            }
        }
        QVERIFY(!UploadRecordStore().load(workspaceId()).value());
    }

    void aRefusedPartFailsTheRunAndResumeSendsOnlyWhatIsMissing()
    {
        const auto picked = pickedVideo("Refused.mov", 4 * chunk);
        FileUploaderState &state = picked->state;
        QVERIFY(stack.failPartsFrom(3, 403, 3));
        QVERIFY(startAndFinish(state));
        QCOMPARE(state.statusMessage(), "Upload failed: Failed to upload Refused.mov");
        QVERIFY(state.canResume());
        const int requestsBefore = partRequestCount(stack);

        state.resumeUpload();
        QVERIFY2(waitUntilRunEnds(state), qPrintable(runSummary(state)));
        QCOMPARE(state.statusMessage(), "Upload completed!");
        QCOMPARE(partRequestCount(stack) - requestsBefore, 2);
    }

    void aRefusedRegistrationIsSentAloneOnceTheNameIsCorrected()
    {
        const auto picked = pickedVideo("Blank.mov", chunk + 1);
        FileUploaderState &state = picked->state;
        state.setVideoName("  ");
        const qsizetype libraryBefore = stack.library().size();
        QVERIFY(startAndFinish(state));
        QVERIFY2(state.logs().contains("videoName must not be empty"), qPrintable(state.logs()));
        QVERIFY(state.canResume());
        const int requestsBefore = stack.storageRequests().size();

        state.setVideoName("Reef");
        state.resumeUpload();
        QVERIFY2(waitUntilRunEnds(state), qPrintable(runSummary(state)));
        QCOMPARE(state.statusMessage(), "Upload completed!");
        QCOMPARE(stack.storageRequests().size(), requestsBefore);
        QCOMPARE(stack.library().size(), libraryBefore + 1);
        QCOMPARE(stack.library().last().toObject()["video_name"].toString(), "Reef");
    }
};

QTEST_GUILESS_MAIN(ResumeUploadTest)
#include "tst_resumeupload.moc"
