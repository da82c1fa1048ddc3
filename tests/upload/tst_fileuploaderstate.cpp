#include "ApiKeyPreference.h"
#include "AsyncSleep.h"
#include "Diagnostics.h"
#include "FileFormat.h"
#include "FileUploaderState.h"
#include "HttpClient.h"
#include "ServiceFixtures.h"
#include "UploadBackend.h"

#include <QFile>
#include <QNetworkReply>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

namespace {
const QString uploading = QStringLiteral("Uploading…");
const QString completed = QStringLiteral("Upload completed!");
const QString immersive = FileFormat::appleImmersive;
const QString separate = FileFormat::separate;
const QString sidesRequired = QStringLiteral("For .aivu files, both AIME and FCPXML are required.");

QString storedInOnePart(const QString &fileName)
{
    return "🎬 Uploading " + fileName + "…\nUploaded (100%)\n✅ Finished " + fileName + "\n";
}
}

class FileUploaderStateTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<TestHttpServer> server;
    std::unique_ptr<UploadBackend> backend;
    std::unique_ptr<SessionManager> session;
    QTemporaryDir folder;
    Diagnostics::Capture output;

    QUrl writeFile(const QString &name, const QByteArray &bytes)
    {
        QFile file(folder.filePath(name));
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            qFatal("cannot write %s", qPrintable(file.fileName()));
        return QUrl::fromLocalFile(file.fileName());
    }

    // Signed in and talking to the backend, with the format's video files, side files whatever
    // the format, and a name.
    std::unique_ptr<FileUploaderState> filledIn(const QString &format)
    {
        auto state = std::make_unique<FileUploaderState>(APIService(server->url("/api").toString()));
        state->setSessionManager(session.get());
        state->selectFileFormat(format);
        if (format == separate) {
            state->setSelectedFileLeft(writeFile("left.mov", "left eye"));
            state->setSelectedFileRight(writeFile("right.mov", "right eye"));
        } else {
            state->setSelectedFile(writeFile("clip.mov", "video"));
        }
        state->setSelectedAIMEFile(writeFile("scene.aime", "aime"));
        state->setSelectedFCPXMLZip(writeFile("edit.zip", "zip"));
        state->setVideoName(QStringLiteral("Dive"));
        return state;
    }

    void onRequest(const QString &path, std::function<void()> action)
    {
        connect(server.get(), &TestHttpServer::requestReceived, this,
                [path, action = std::move(action)](const RecordedRequest &request) {
                    if (request.path() == path)
                        action();
                });
    }

private Q_SLOTS:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        AsyncSleep::setTimeScale(0.001);
    }

    void init()
    {
        // A stored key would be checked with the service, which cannot answer that.
        QFile::remove(ApiKeyPreference::filePath());
        server = std::make_unique<TestHttpServer>();
        QVERIFY(server->listen());
        backend = std::make_unique<UploadBackend>(*server);
        session = std::make_unique<SessionManager>(APIService(server->url("/api").toString()));
        session->setApiKey(QStringLiteral("key"));
        output.clear();
    }

    void cleanup()
    {
        session.reset();
        backend.reset();
        server.reset();
    }

    void sideFileRequirementFollowsTheFormatWhileAVideoFileIsChosen()
    {
        auto state = filledIn(immersive);
        state->setSelectedAIMEFile(QUrl());
        state->selectFileFormat(FileFormat::stereoscopicLeftRight);
        QCOMPARE(state->requiresAIMEAndFCPXML(), false);
        state->selectFileFormat(immersive);
        QCOMPARE(state->requiresAIMEAndFCPXML(), true);
        // Without one a format change leaves the requirement as it was: even a run of both eyes
        // waits for side files it will not send.
        state->setSelectedFile(QUrl());
        state->selectFileFormat(separate);
        state->setSelectedFileLeft(QUrl::fromLocalFile("/media/left.mov"));
        state->setSelectedFileRight(QUrl::fromLocalFile("/media/right.mov"));
        state->startUpload();
        QCOMPARE(state->statusMessage(), sidesRequired);
    }

    void appendLogReadsTheTransfersMessages_data()
    {
        QTest::addColumn<QString>("message");
        QTest::addColumn<double>("progress");
        QTest::addColumn<bool>("appended");
        QTest::newRow("45.5 %") << "Uploaded (45.5%)" << 0.455 << true;
        QTest::newRow("0 %") << "Uploaded (0%)" << 0.3 << true;
        QTest::newRow("first sign counts") << "12% of 99%" << 0.12 << true;
        QTest::newRow("newer version") << "A newer version 50% is out" << 0.3 << false;
        QTest::newRow("number of") << "Number of parts: 3" << 0.3 << false;
        QTest::newRow("log file") << "Log file is located at /tmp/x.log" << 0.3 << false;
    }

    void appendLogReadsTheTransfersMessages()
    {
        QFETCH(QString, message);
        QFETCH(double, progress);
        QFETCH(bool, appended);
        FileUploaderState state;
        state.appendLog(QStringLiteral("Uploaded (30%)"));
        state.appendLog(message);
        QCOMPARE(state.logs(), "Uploaded (30%)\n" + (appended ? message + "\n" : QString()));
        QCOMPARE(state.progress(), progress);
    }

    void logKeepsTheLastTenThousandCharacters_data()
    {
        const QString emoji = QStringLiteral("👩🏽‍💻");
        const QString accented = QStringLiteral("e\u0301");
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("kept");
        // Each line is 9999 user-perceived characters, 10000 with its line break.
        QTest::newRow("emoji dropped whole") << emoji + accented + QString(9997, 'x') << QString(9978, 'x');
        QTest::newRow("emoji kept whole")
            << QString(21, 'x') + emoji + accented + QString(9976, 'x') << emoji + accented + QString(9976, 'x');
    }

    void logKeepsTheLastTenThousandCharacters()
    {
        QFETCH(QString, line);
        QFETCH(QString, kept);
        FileUploaderState state;
        state.appendLog(line);
        QCOMPARE(state.logs(), line + "\n");
        const QString message = QStringLiteral("twenty characters!!!");
        state.appendLog(message);
        QCOMPARE(state.logs(), kept + "\n" + message + "\n");
    }

    // What a run sends and how it ends, by the form and what goes wrong. A row's setup is "clear
    // <property>", "perspective <text>", "answer <path> <status> <body>", "completion <URL>", or
    // "sign out" or "edit" (name, perspective and format) on the first part. Side files are chosen
    // in every row: only immersive sends them.
    void aRunSendsTheFormAndEndsAsItShould_data()
    {
        QTest::addColumn<QString>("format");
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QString>("status");
        QTest::addColumn<QStringList>("sessions");
        QTest::addColumn<QStringList>("fields");
        QTest::addColumn<QString>("logs");
        const auto fields = [](const QString &format, bool is3D, const QString &perspective) {
            return QStringList{"uploadedUrl=https://bucket.test/object-0", "fileFormat3D=" + format,
                               is3D ? "is3D=true" : "is3D=false", "perspective=" + perspective, "videoName=Dive"};
        };
        const auto succeeds = [](const char *name, const QString &format, const QString &perspective,
                                 const QStringList &sessions, const QStringList &fields) {
            QString logs;
            for (const QString &session : sessions)
                logs += storedInOnePart(session.section(" (", 0, 0));
            QTest::newRow(name) << format << "perspective " + perspective << completed << sessions << fields
                                << logs + "Video uploaded. Library ID: 77, Name: Dive\n\n";
        };
        const QStringList clip{"clip.mov (5)"};
        succeeds("2D", FileFormat::twoD, "180", clip, fields("2D", false, "180"));
        succeeds("empty perspective", FileFormat::spatial, "", clip, fields("Spatial", true, "180"));
        succeeds("blank before digits", FileFormat::twoD, " 60", clip, fields("2D", false, "180"));
        succeeds("beyond 64 bits", FileFormat::twoD, "9223372036854775808", clip, fields("2D", false, "180"));
        succeeds("minus sixty", FileFormat::stereoscopicLeftRight, "-60", clip, fields("SBS", true, "-60"));
        succeeds("plus sixty", FileFormat::stereoscopicLeftRight, "+60", clip, fields("SBS", true, "60"));
        QStringList bothEyes = fields("Separate", true, "60");
        bothEyes.insert(1, "uploadedUrlRight=https://bucket.test/object-1");
        succeeds("separate", separate, "60", {"left.mov (8)", "right.mov (9)"}, bothEyes);
        QStringList withSideFiles = fields("AIV", true, "180");
        withSideFiles.replace(0, "uploadedUrl=https://bucket.test/object-2");
        withSideFiles << "aimeUrl=https://bucket.test/object-0" << "fcpxmlUrl=https://bucket.test/object-1";
        succeeds("immersive", immersive, "180", {"scene.aime (4)", "edit.zip (3)", "clip.mov (5)"}, withSideFiles);
        // The run registers the form as it stood when the run started.
        QTest::newRow("form edited during the run")
            << FileFormat::spatial << "edit" << completed << clip << fields("Spatial", true, "60")
            << storedInOnePart("clip.mov") + "Video uploaded. Library ID: 77, Name: Dive\n\n";

        // Refused before anything is sent: the earlier log and progress stay.
        const auto refused = [](const char *name, const QString &format, const QString &property,
                                const QString &status) {
            QTest::newRow(name) << format << "clear " + property << status << QStringList() << QStringList()
                                << "Uploaded (30%)\n";
        };
        const QString selectFile = QStringLiteral("Select a file and enter a name.");
        const QString selectBoth = QStringLiteral("Select both files and enter a name.");
        refused("no file", FileFormat::twoD, "selectedFile", selectFile);
        refused("no name", FileFormat::spatial, "videoName", selectFile);
        refused("separate, no left", separate, "selectedFileLeft", selectBoth);
        refused("separate, no right", separate, "selectedFileRight", selectBoth);
        refused("separate, no name", separate, "videoName", selectBoth);
        refused("ProRes without AIME", immersive, "selectedAIMEFile", sidesRequired);
        refused("ProRes without FCPXML", immersive, "selectedFCPXMLZip", sidesRequired);

        const auto fails = [](const char *name, const QString &format, const QString &setup,
                              const QString &description, const QStringList &sessions, const QString &logs,
                              const QStringList &fields = {}) {
            QTest::newRow(name) << format << setup << "Upload failed: " + description << sessions << fields
                                << logs + "❌ Upload errored: " + description + "\n";
        };
        const QString signedOut = QStringLiteral("You were signed out during the upload.");
        const QString notAnEntry = QStringLiteral("The service did not return the library entry.");
        fails("right eye refused", separate, "answer " + UploadBackend::partPath(1, 1) + " 403",
              "Failed to upload right.mov", {"left.mov (8)", "right.mov (9)"},
              storedInOnePart("left.mov") + "🎬 Uploading right.mov…\n"
                      "The upload of right.mov stopped: storage answered 403.\n");
        fails("side file's completion URL unparsable", immersive, "completion http://[broken",
              Error::badUrl("http://[broken").description(), {"scene.aime (4)"}, "🎬 Uploading scene.aime…\n");
        fails("relative completion URL", FileFormat::twoD, "completion complete",
              Error::badUrl("complete").description(), clip, "🎬 Uploading clip.mov…\n");
        fails("signed out before the next file", immersive, "sign out", signedOut, {"scene.aime (4)"},
              storedInOnePart("scene.aime"));
        fails("signed out before the registration", FileFormat::twoD, "sign out", signedOut, clip,
              storedInOnePart("clip.mov"));
        fails("library answer not an entry", FileFormat::twoD, "answer " + UploadBackend::libraryPath + " 200 []",
              notAnEntry, clip, storedInOnePart("clip.mov") + "API Error: " + notAnEntry + "\n\n",
              fields("2D", false, "60"));
    }

    void aRunSendsTheFormAndEndsAsItShould()
    {
        QFETCH(QString, format);
        QFETCH(QString, setup);
        QFETCH(QString, status);
        QFETCH(QStringList, sessions);
        QFETCH(QStringList, fields);
        QFETCH(QString, logs);
        auto state = filledIn(format);
        state->appendLog(QStringLiteral("Uploaded (30%)"));
        const QString kind = setup.section(u' ', 0, 0);
        const QString detail = setup.section(u' ', 1);
        if (kind == u"clear")
            QVERIFY(state->setProperty(qPrintable(detail), QString()));
        if (kind == u"perspective")
            state->setSelectedPerspective(detail);
        if (kind == u"answer")
            backend->overrides.insert(detail.section(u' ', 0, 0), ScriptedResponse::json(detail.section(u' ', 1, 1).toInt(),
                                                                                          detail.section(u' ', 2).toUtf8()));
        if (kind == u"completion")
            backend->completeUploadUrl = detail;
        if (kind == u"sign")
            onRequest(UploadBackend::partPath(0, 1), [&] { session->setApiKey(std::nullopt); });
        if (kind == u"edit") {
            onRequest(UploadBackend::partPath(0, 1), [&] {
                state->setVideoName(QStringLiteral("Renamed"));
                state->setSelectedPerspective(QStringLiteral("360"));
                state->selectFileFormat(FileFormat::twoD);
            });
        }
        QString statusDuringRegistration;
        onRequest(UploadBackend::libraryPath, [&] { statusDuringRegistration = state->statusMessage(); });

        state->startUpload();
        QTRY_COMPARE_WITH_TIMEOUT(state->statusMessage(), status, 10000);
        QCOMPARE(backend->sessionRequests(), sessions);
        const auto registrations = backend->requestsTo(UploadBackend::libraryPath);
        QCOMPARE(registrations.size(), fields.isEmpty() ? 0 : 1);
        if (!fields.isEmpty()) {
            QCOMPARE(formFields(registrations.first()), fields);
            QCOMPARE(statusDuringRegistration, uploading);
        }
        QCOMPARE(state->logs(), logs);
        QCOMPARE(state->isUploading(), false);
        QCOMPARE(state->showSuccessAnimation(), status == completed);
        if (status == completed || kind == u"clear")
            QCOMPARE(state->progress(), kind == u"clear" ? 0.3 : 1.0);
        // Every file and the name are still chosen, for another try.
        QCOMPARE(state->uploadDisabled(), kind == u"clear");
    }

    void anEarlierRunCannotTouchTheNextRun_data()
    {
        QTest::addColumn<bool>("cancelled");
        QTest::newRow("cancelled in its second part, failing late") << true;
        QTest::newRow("overtaken, storing and registering late") << false;
    }

    void anEarlierRunCannotTouchTheNextRun()
    {
        QFETCH(bool, cancelled);
        // The earlier run has three parts; the next one waits for its part meanwhile.
        backend->chunkCounts = {{0, 3}};
        if (cancelled)
            backend->overrides.insert(UploadBackend::partPath(0, 2), ScriptedResponse::stall());
        backend->overrides.insert(UploadBackend::partPath(1, 1), ScriptedResponse::stall());
        auto state = filledIn(FileFormat::twoD);
        writeFile("clip.mov", QByteArray(25, 'v'));
        // Named like a message the log drops, with a percentage in it.
        const QString next = QStringLiteral("Number of takes 45%.mov");
        const QUrl nextFile = writeFile(next, "next");
        onRequest(UploadBackend::partPath(0, 2), [&] {
            if (cancelled)
                state->cancelUpload();
            state->setSelectedFile(nextFile);
            state->startUpload();
        });
        QStringList finishedPaths;
        connect(&HttpClient::manager(), &QNetworkAccessManager::finished, state.get(),
                [&](QNetworkReply *reply) { finishedPaths.append(reply->url().path()); });

        state->startUpload();
        QTRY_VERIFY_WITH_TIMEOUT((cancelled ? !output.lines().filter("❌ Upload failed for chunk 2").isEmpty()
                                            : finishedPaths.contains(UploadBackend::libraryPath))
                                         && !backend->requestsTo(UploadBackend::partPath(1, 1)).isEmpty(),
                                 10000);
        QCOMPARE(state->statusMessage(), uploading);
        QCOMPARE(state->progress(), 0.0);
        QCOMPARE(state->logs(), "🎬 Uploading " + next + "…\n");

        // Cancelling shows at once; the transfer's failure follows.
        state->cancelUpload();
        QCOMPARE(state->isUploading(), false);
        QCOMPARE(state->statusMessage(), "Upload canceled");
        const QString failure = "Failed to upload " + next;
        QTRY_COMPARE_WITH_TIMEOUT(state->statusMessage(), "Upload failed: " + failure, 10000);
        QCOMPARE(state->logs(), "🎬 Uploading " + next + "…\n❌ Upload errored: " + failure + "\n");
        QCOMPARE(backend->requestsTo(UploadBackend::libraryPath).size(), cancelled ? 0 : 1);
    }

    void namesOfTheUsersFilesAndEntriesAreNotLogCommands()
    {
        backend->overrides.insert(UploadBackend::libraryPath,
                                  ScriptedResponse::json(200, ServiceFixtures::libraryEntryJson().replace(
                                                                      "Dive", "A newer version 99%")));
        auto state = filledIn(FileFormat::twoD);
        const QString name = QStringLiteral("Log file is located at 7%.mov");
        state->setSelectedFile(writeFile(name, "video"));
        state->startUpload();
        QTRY_COMPARE_WITH_TIMEOUT(state->statusMessage(), completed, 10000);
        QCOMPARE(state->logs(), storedInOnePart(name) + "Video uploaded. Library ID: 77, Name: A newer version 99%\n\n");
        QTRY_COMPARE_WITH_TIMEOUT(state->showSuccessAnimation(), false, 10000);
    }
};

QTEST_GUILESS_MAIN(FileUploaderStateTest)
#include "tst_fileuploaderstate.moc"
