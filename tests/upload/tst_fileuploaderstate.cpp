#include "ApiKeyPreference.h"
#include "AsyncSleep.h"
#include "Diagnostics.h"
#include "FileFormat.h"
#include "FileUploaderState.h"
#include "HttpClient.h"
#include "SessionManager.h"
#include "TestHttpServer.h"
#include "UploadBackend.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QQmlComponent>
#include <QQmlContext>
#include <QQmlEngine>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QtQml/qqmlextensionplugin.h>

Q_IMPORT_QML_PLUGIN(VellumcastPlugin)

using namespace std::chrono_literals;

namespace {
const QString uploading = QStringLiteral("Uploading…");
const QString completed = QStringLiteral("Upload completed!");
const QString immersive = FileFormat::appleImmersive;
const QString separate = FileFormat::separate;
const QString sidesRequired = QStringLiteral("For .aivu files, both AIME and FCPXML are required.");

QByteArray bytesOfLength(int length, char seed)
{
    QByteArray bytes;
    for (int i = 0; i < length; ++i)
        bytes.append(char(seed + i % 23));
    return bytes;
}

QByteArray libraryEntryNamed(const QString &videoName)
{
    const QJsonObject entry{{"id", 5}, {"video_url_left", "https://bucket.test/object-0"},
                            {"video_name", videoName}, {"workspace_id", 3},
                            {"perspective", 180}, {"is_3d", true}};
    return QJsonDocument(entry).toJson(QJsonDocument::Compact);
}

// What the state looked like at one moment of a run.
struct Snapshot
{
    bool isUploading = false;
    QString statusMessage;
    bool showSuccessAnimation = false;
};
}

class FileUploaderStateTest : public QObject
{
    Q_OBJECT

    TestHttpServer *server = nullptr;
    std::unique_ptr<UploadBackend> backend;
    std::unique_ptr<SessionManager> session;
    std::unique_ptr<QTemporaryDir> folder;

    QUrl writeFile(const QString &name, const QByteArray &bytes)
    {
        QFile file(folder->filePath(name));
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            qFatal("cannot write %s", qPrintable(file.fileName()));
        return QUrl::fromLocalFile(file.fileName());
    }

    // Signed in and talking to the backend.
    std::unique_ptr<FileUploaderState> makeState()
    {
        auto state = std::make_unique<FileUploaderState>(APIService(backend->apiBaseUrl()));
        state->setSessionManager(session.get());
        return state;
    }

    // Runs `action` on the state when the server has received a request for `path`.
    void onRequest(const QString &path, std::function<void()> action)
    {
        connect(server, &TestHttpServer::requestReceived, this,
                [path, action = std::move(action)](const RecordedRequest &request) {
                    if (request.path() == path)
                        action();
                });
    }

    Snapshot snapshotOf(const FileUploaderState &state)
    {
        return {state.isUploading(), state.statusMessage(), state.showSuccessAnimation()};
    }

private Q_SLOTS:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        AsyncSleep::setTimeScale(0.001);
    }

    void init()
    {
        QFile::remove(ApiKeyPreference::filePath());
        HttpClient::setTransferTimeout(60s);
        server = new TestHttpServer(this);
        QVERIFY(server->listen());
        backend = std::make_unique<UploadBackend>(*server);
        session = std::make_unique<SessionManager>(APIService(backend->apiBaseUrl()));
        session->setApiKey(QStringLiteral("key"));
        folder = std::make_unique<QTemporaryDir>();
        QVERIFY(folder->isValid());
    }

    void cleanup()
    {
        folder.reset();
        session.reset();
        backend.reset();
        delete server;
        server = nullptr;
    }

    void theScreenCreatesItAndSetsItsSession()
    {
        QQmlEngine engine;
        engine.rootContext()->setContextProperty("session", session.get());
        QQmlComponent component(&engine);
        component.setData("import Vellumcast\n"
                          "FileUploaderState { sessionManager: session; videoName: fileFormatOptions[4] }",
                          QUrl());
        std::unique_ptr<QObject> created(component.create());
        QVERIFY2(created, qPrintable(component.errorString()));
        auto *state = qobject_cast<FileUploaderState *>(created.get());
        QVERIFY(state);
        QCOMPARE(state->sessionManager(), session.get());
        QCOMPARE(state->videoName(), immersive);
        QCOMPARE(state->statusMessage(), "Ready to upload");
    }

    void choosingAFormatClearsTheOtherModesFiles()
    {
        auto state = makeState();
        QCOMPARE(state->selectedFileFormat(), FileFormat::stereoscopicLeftRight);
        QCOMPARE(state->selectedPerspective(), "60");
        QCOMPARE(state->fileFormatOptions(), FileFormat::fileFormatOptions());
        QCOMPARE(state->perspectiveOptions(), QStringList({"60", "180", "360"}));

        state->setSelectedFile(writeFile("clip.mov", "v"));
        state->selectFileFormat(separate);
        QVERIFY(state->selectedFile().isEmpty());

        state->setSelectedFileLeft(writeFile("left.mov", "l"));
        state->setSelectedFileRight(writeFile("right.mov", "r"));
        state->selectFileFormat(FileFormat::twoD);
        QVERIFY(state->selectedFileLeft().isEmpty());
        QVERIFY(state->selectedFileRight().isEmpty());
        QCOMPARE(state->selectedPerspective(), "60");

        state->selectFileFormat(immersive);
        QCOMPARE(state->selectedPerspective(), "180");
        state->selectFileFormat(FileFormat::spatial);
        QCOMPARE(state->selectedPerspective(), "180");
    }

    void sideFileRequirementFollowsTheVideoFile()
    {
        auto state = makeState();
        state->setSelectedFile(QUrl::fromLocalFile("/media/Clip.AIVU"));
        QCOMPARE(state->selectedFileFormat(), immersive);
        QCOMPARE(state->requiresAIMEAndFCPXML(), false);

        // An .aivu file holds the format in place, unless the choice clears the file.
        state->selectFileFormat(FileFormat::twoD);
        QCOMPARE(state->selectedFileFormat(), immersive);
        state->selectFileFormat(separate);
        QCOMPARE(state->selectedFileFormat(), separate);
        QCOMPARE(state->requiresAIMEAndFCPXML(), false);
        state->selectFileFormat(immersive);

        state->setSelectedFile(QUrl::fromLocalFile("/media/clip.mov"));
        QCOMPARE(state->requiresAIMEAndFCPXML(), true);
        state->selectFileFormat(FileFormat::stereoscopicLeftRight);
        QCOMPARE(state->requiresAIMEAndFCPXML(), false);
        state->selectFileFormat(immersive);
        QCOMPARE(state->requiresAIMEAndFCPXML(), true);

        // Without a video file a format change leaves the requirement as it was.
        state->setSelectedFile(QUrl());
        QCOMPARE(state->requiresAIMEAndFCPXML(), true);
        state->selectFileFormat(FileFormat::twoD);
        QCOMPARE(state->requiresAIMEAndFCPXML(), true);
        state->setSelectedFile(QUrl::fromLocalFile("/media/clip.mov"));
        QCOMPARE(state->requiresAIMEAndFCPXML(), false);
    }

    void validationStopsIncompleteForms_data()
    {
        QTest::addColumn<QString>("format");
        QTest::addColumn<QStringList>("chosen");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("status");
        const QString selectFile = QStringLiteral("Select a file and enter a name.");
        const QString selectBoth = QStringLiteral("Select both files and enter a name.");
        for (const QString &format : FileFormat::fileFormatOptions()) {
            if (format == separate)
                continue;
            QTest::addRow("%s, no file", qPrintable(format)) << format << QStringList() << "Dive" << selectFile;
            QTest::addRow("%s, no name", qPrintable(format)) << format << QStringList{"file"} << "" << selectFile;
        }
        QTest::newRow("Separate, no left") << separate << QStringList{"right"} << "Dive" << selectBoth;
        QTest::newRow("Separate, no right") << separate << QStringList{"left"} << "Dive" << selectBoth;
        QTest::newRow("Separate, no name") << separate << QStringList{"left", "right"} << "" << selectBoth;
        QTest::newRow("ProRes without AIME") << immersive << QStringList{"file", "fcpxml"} << "Dive" << sidesRequired;
        QTest::newRow("ProRes without FCPXML") << immersive << QStringList{"file", "aime"} << "Dive" << sidesRequired;
    }

    void validationStopsIncompleteForms()
    {
        QFETCH(QString, format);
        QFETCH(QStringList, chosen);
        QFETCH(QString, name);
        QFETCH(QString, status);

        auto state = makeState();
        state->appendLog(QStringLiteral("Uploaded (30%)"));
        state->selectFileFormat(format);
        if (chosen.contains("file"))
            state->setSelectedFile(writeFile("clip.mov", "v"));
        if (chosen.contains("left"))
            state->setSelectedFileLeft(writeFile("left.mov", "l"));
        if (chosen.contains("right"))
            state->setSelectedFileRight(writeFile("right.mov", "r"));
        if (chosen.contains("aime"))
            state->setSelectedAIMEFile(writeFile("scene.aime", "a"));
        if (chosen.contains("fcpxml"))
            state->setSelectedFCPXMLZip(writeFile("edit.zip", "f"));
        state->setVideoName(name);

        QVERIFY(state->uploadDisabled());
        state->startUpload();
        QCOMPARE(state->statusMessage(), status);
        QCOMPARE(state->isUploading(), false);
        QCOMPARE(state->logs(), "Uploaded (30%)\n");
        QCOMPARE(state->progress(), 0.3);
    }

    void aLeftoverRequirementHoldsUpSeparateUploadsUntilSideFilesAreChosen()
    {
        auto state = makeState();
        state->selectFileFormat(immersive);
        state->setSelectedFile(writeFile("clip.mov", "v"));
        state->setSelectedFile(QUrl());
        state->selectFileFormat(separate);
        const QByteArray left = bytesOfLength(12, 'a');
        const QByteArray right = bytesOfLength(7, 'b');
        state->setSelectedFileLeft(writeFile("left.mov", left));
        state->setSelectedFileRight(writeFile("right.mov", right));
        state->setVideoName(QStringLiteral("Dive"));

        state->startUpload();
        QCOMPARE(state->statusMessage(), sidesRequired);
        QCOMPARE(state->isUploading(), false);

        // Chosen now, but the format is not the immersive one: they are neither uploaded nor sent.
        state->setSelectedAIMEFile(writeFile("scene.aime", "a"));
        state->setSelectedFCPXMLZip(writeFile("edit.zip", "f"));
        QVERIFY(!state->uploadDisabled());
        state->startUpload();
        QCOMPARE(state->statusMessage(), uploading);
        QVERIFY(state->uploadDisabled());
        QTRY_COMPARE_WITH_TIMEOUT(state->statusMessage(), completed, 10000);

        QCOMPARE(backend->sessionFileNames(), QStringList({"left.mov", "right.mov"}));
        QCOMPARE(backend->storedBytes(0), left);
        QCOMPARE(backend->storedBytes(1), right);
        const auto registrations = backend->requestsTo(UploadBackend::libraryPath);
        QCOMPARE(registrations.size(), 1);
        const QList<QPair<QString, QString>> expected = {
            {"uploadedUrl", UploadBackend::storageUrl(0)},
            {"uploadedUrlRight", UploadBackend::storageUrl(1)},
            {"fileFormat3D", "Separate"},
            {"is3D", "true"},
            {"perspective", "180"},
            {"videoName", "Dive"},
        };
        QCOMPARE(formFields(registrations.first()), expected);
    }

    void appendLogReadsTheTransfersMessages_data()
    {
        QTest::addColumn<QString>("message");
        QTest::addColumn<double>("progress");
        QTest::addColumn<bool>("appended");
        QTest::addColumn<QStringList>("printed");
        const auto received = [](const QString &message, const QString &percentage) {
            return QStringList{"Recieved log " + message, percentage};
        };
        QTest::newRow("45 %") << "Uploaded (45%)" << 0.45 << true << received("Uploaded (45%)", "45");
        QTest::newRow("45.5 %") << "Uploaded (45.5%)" << 0.455 << true << received("Uploaded (45.5%)", "45.5");
        QTest::newRow("0 %") << "Uploaded (0%)" << 0.3 << true << received("Uploaded (0%)", "0");
        QTest::newRow("no number") << "Uploaded (%)" << 0.3 << true << received("Uploaded (%)", "0");
        QTest::newRow("first sign counts") << "12% of 99%" << 0.12 << true << received("12% of 99%", "12");
        QTest::newRow("no sign") << "Starting" << 0.3 << true << QStringList();
        QTest::newRow("own line break") << "Done\n" << 0.3 << true << QStringList();
        QTest::newRow("newer version") << "A newer version 50% is out" << 0.3 << false << QStringList();
        QTest::newRow("number of") << "Number of parts: 3" << 0.3 << false << QStringList();
        QTest::newRow("log file") << "Log file is located at /tmp/x.log" << 0.3 << false << QStringList();
    }

    void appendLogReadsTheTransfersMessages()
    {
        QFETCH(QString, message);
        QFETCH(double, progress);
        QFETCH(bool, appended);
        QFETCH(QStringList, printed);

        FileUploaderState state;
        state.appendLog(QStringLiteral("Uploaded (30%)"));
        const QString before = state.logs();
        QSignalSpy logsChanged(&state, &FileUploaderState::logsChanged);
        Diagnostics::Capture output;
        state.appendLog(message);
        QCOMPARE(state.logs(), appended ? before + message + "\n" : before);
        QCOMPARE(logsChanged.size(), appended ? 1 : 0);
        QCOMPARE(state.progress(), progress);
        QCOMPARE(output.lines(), printed);
    }

    void logKeepsTheLastTenThousandCharacters_data()
    {
        const QString emoji = QStringLiteral("👩🏽‍💻");
        const QString accented = QStringLiteral("e\u0301");
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("kept");
        // Each line is 9999 user-perceived characters, 10000 with its line break.
        QTest::newRow("emoji dropped whole")
            << emoji + accented + QString(9997, 'x') << QString(9978, 'x');
        QTest::newRow("emoji kept whole")
            << QString(21, 'x') + emoji + accented + QString(9976, 'x')
            << emoji + accented + QString(9976, 'x');
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

    void immersiveRunStoresSideFilesFirstAndRegistersEveryUrl()
    {
        const QByteArray aime = bytesOfLength(25, 'a');
        const QByteArray fcpxml = bytesOfLength(4, 'f');
        const QByteArray video = bytesOfLength(40, 'v');
        backend->chunkCounts = {{0, 3}, {2, 4}};
        auto state = makeState();
        state->selectFileFormat(immersive);
        state->setSelectedFile(writeFile("dive.mov", video));
        state->setSelectedAIMEFile(writeFile("scene.aime", aime));
        state->setSelectedFCPXMLZip(writeFile("edit.fcpxml.zip", fcpxml));
        state->setVideoName(QStringLiteral(" "));
        Snapshot duringRegistration;
        onRequest(UploadBackend::libraryPath, [&] { duringRegistration = snapshotOf(*state); });
        QSignalSpy overlay(state.get(), &FileUploaderState::showSuccessAnimationChanged);
        Diagnostics::Capture output;

        state->startUpload();
        QCOMPARE(state->isUploading(), true);
        QCOMPARE(state->statusMessage(), uploading);
        QTRY_COMPARE_WITH_TIMEOUT(state->statusMessage(), completed, 10000);

        QCOMPARE(backend->sessionFileNames(), QStringList({"scene.aime", "edit.fcpxml.zip", "dive.mov"}));
        const auto sessions = backend->requestsTo(UploadBackend::sessionPath);
        QCOMPARE(formField(sessions.value(0), "fileSize"), "25");
        QCOMPARE(formField(sessions.value(2), "fileSize"), "40");
        QCOMPARE(sessions.value(1).header("X-VELLUMCAST-APPKEY"), "key");
        QCOMPARE(backend->storedBytes(0), aime);
        QCOMPARE(backend->storedBytes(1), fcpxml);
        QCOMPARE(backend->storedBytes(2), video);
        QVERIFY(backend->wasCompleted(0));
        QVERIFY(backend->wasCompleted(2));

        const auto registrations = backend->requestsTo(UploadBackend::libraryPath);
        QCOMPARE(registrations.size(), 1);
        const QList<QPair<QString, QString>> expected = {
            {"uploadedUrl", UploadBackend::storageUrl(2)},
            {"fileFormat3D", "AIV"},
            {"is3D", "true"},
            {"perspective", "180"},
            {"videoName", " "},
            {"aimeUrl", UploadBackend::storageUrl(0)},
            {"fcpxmlUrl", UploadBackend::storageUrl(1)},
        };
        QCOMPARE(formFields(registrations.first()), expected);

        QCOMPARE(duringRegistration.isUploading, true);
        QCOMPARE(duringRegistration.statusMessage, uploading);
        QCOMPARE(duringRegistration.showSuccessAnimation, false);

        QCOMPARE(state->logs(), QStringLiteral("🎬 Uploading scene.aime…\n"
                                               "Uploaded (40%)\nUploaded (80%)\nUploaded (100%)\n"
                                               "✅ Finished scene.aime\n"
                                               "🎬 Uploading edit.fcpxml.zip…\n"
                                               "Uploaded (100%)\n"
                                               "✅ Finished edit.fcpxml.zip\n"
                                               "🎬 Uploading dive.mov…\n"
                                               "Uploaded (25%)\nUploaded (50%)\nUploaded (75%)\nUploaded (100%)\n"
                                               "✅ Finished dive.mov\n"
                                               "Video uploaded. Library ID: 77, Name: Dive\n\n"));
        QCOMPARE(state->progress(), 1.0);
        QCOMPARE(state->isUploading(), false);
        QVERIFY(output.lines().contains("Presigned chunk urls"));

        QCOMPARE(state->showSuccessAnimation(), true);
        QVERIFY(overlay.wait(10000));
        QCOMPARE(state->showSuccessAnimation(), false);
    }

    void formatAndPerspectiveReachTheLibrary_data()
    {
        QTest::addColumn<QString>("format");
        QTest::addColumn<QString>("perspective");
        QTest::addColumn<QString>("sentPerspective");
        QTest::addColumn<QString>("sentFormat");
        QTest::addColumn<QString>("sentIs3D");
        QTest::newRow("2D, 180") << FileFormat::twoD << "180" << "180" << "2D" << "false";
        QTest::newRow("top/bottom, 360") << FileFormat::stereoscopicTopBottom << "360" << "360" << "TB" << "true";
        QTest::newRow("spatial, empty") << FileFormat::spatial << "" << "180" << "Spatial" << "true";
        QTest::newRow("lone plus") << FileFormat::twoD << "+" << "180" << "2D" << "false";
        QTest::newRow("letters") << FileFormat::twoD << "sixty" << "180" << "2D" << "false";
        QTest::newRow("blank around digits") << FileFormat::twoD << " 60" << "180" << "2D" << "false";
        QTest::newRow("beyond 64 bits") << FileFormat::twoD << "9223372036854775808" << "180" << "2D" << "false";
        QTest::newRow("minus sixty") << FileFormat::stereoscopicLeftRight << "-60" << "-60" << "SBS" << "true";
        QTest::newRow("plus sixty") << FileFormat::stereoscopicLeftRight << "+60" << "60" << "SBS" << "true";
    }

    void formatAndPerspectiveReachTheLibrary()
    {
        QFETCH(QString, format);
        QFETCH(QString, perspective);
        QFETCH(QString, sentPerspective);
        QFETCH(QString, sentFormat);
        QFETCH(QString, sentIs3D);

        auto state = makeState();
        state->selectFileFormat(format);
        state->setSelectedPerspective(perspective);
        state->setSelectedFile(writeFile("clip.mov", "video"));
        state->setVideoName(QStringLiteral("Dive"));
        Diagnostics::Capture output;
        state->startUpload();
        QTRY_COMPARE_WITH_TIMEOUT(state->statusMessage(), completed, 10000);

        const auto registration = backend->requestsTo(UploadBackend::libraryPath).value(0);
        QCOMPARE(formField(registration, "perspective"), sentPerspective);
        QCOMPARE(formField(registration, "fileFormat3D"), sentFormat);
        QCOMPARE(formField(registration, "is3D"), sentIs3D);
    }

    void aFileThatIsGoneFailsBeforeAnyRequest()
    {
        auto state = makeState();
        const QUrl file = writeFile("clip.mov", "video");
        state->setSelectedFile(file);
        state->setVideoName(QStringLiteral("Dive"));
        QVERIFY(QFile::remove(file.toLocalFile()));

        state->startUpload();
        const QString description = QStringLiteral("The file \"clip.mov\" could not be read.");
        QTRY_COMPARE_WITH_TIMEOUT(state->statusMessage(), "Upload failed: " + description, 10000);
        QCOMPARE(state->logs(), "❌ Upload errored: " + description + "\n");
        QVERIFY(server->requests().isEmpty());
    }

    void failureOnTheSecondEyeFileKeepsTheFirst()
    {
        backend->overrides.insert(UploadBackend::partPath(1, 1), ScriptedResponse::json(403, ""));
        const QByteArray left = bytesOfLength(9, 'l');
        auto state = makeState();
        state->selectFileFormat(separate);
        state->setSelectedFileLeft(writeFile("left.mov", left));
        state->setSelectedFileRight(writeFile("right.mov", "right"));
        state->setVideoName(QStringLiteral("Dive"));
        Diagnostics::Capture output;

        state->startUpload();
        const QString failure = QStringLiteral("Failed to upload right.mov");
        QTRY_COMPARE_WITH_TIMEOUT(state->statusMessage(), "Upload failed: " + failure, 10000);
        QCOMPARE(state->isUploading(), false);
        QCOMPARE(backend->storedBytes(0), left);
        QCOMPARE(backend->requestsTo(UploadBackend::partPath(1, 1)).size(), 3);
        QVERIFY(backend->requestsTo(UploadBackend::libraryPath).isEmpty());
        QCOMPARE(state->logs(), "🎬 Uploading left.mov…\nUploaded (100%)\n✅ Finished left.mov\n"
                                "🎬 Uploading right.mov…\n❌ Upload errored: " + failure + "\n");
    }

    void cancellingMidPartEndsWithTheLateFailure()
    {
        backend->chunkCounts = {{0, 3}};
        backend->overrides.insert(UploadBackend::partPath(0, 2), ScriptedResponse::stall());
        auto state = makeState();
        state->selectFileFormat(FileFormat::twoD);
        state->setSelectedFile(writeFile("clip.mov", bytesOfLength(25, 'c')));
        state->setVideoName(QStringLiteral("Dive"));
        QStringList statuses;
        connect(state.get(), &FileUploaderState::statusMessageChanged, this,
                [&] { statuses.append(state->statusMessage()); });
        Snapshot afterCancel;
        onRequest(UploadBackend::partPath(0, 2), [&] {
            state->cancelUpload();
            afterCancel = snapshotOf(*state);
        });
        Diagnostics::Capture output;

        state->startUpload();
        const QString failure = QStringLiteral("Failed to upload clip.mov");
        QTRY_COMPARE_WITH_TIMEOUT(state->statusMessage(), "Upload failed: " + failure, 10000);

        QCOMPARE(afterCancel.isUploading, false);
        QCOMPARE(afterCancel.statusMessage, "Upload canceled");
        QCOMPARE(statuses, QStringList({uploading, "Upload canceled", "Upload failed: " + failure}));
        QCOMPARE(state->logs(), "🎬 Uploading clip.mov…\nUploaded (40%)\n❌ Upload errored: " + failure + "\n");
        QCOMPARE(state->progress(), 0.4);
        QVERIFY(!backend->wasCompleted(0));
        QVERIFY(backend->requestsTo(UploadBackend::libraryPath).isEmpty());
    }

    void aFailedRegistrationFailsTheRun_data()
    {
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<QString>("description");
        QTest::newRow("not an object") << QByteArray("[]") << "The service did not return the library entry.";
        QTest::newRow("no entry") << QByteArray("{}") << "The library entry in the service's answer could not be read.";
    }

    void aFailedRegistrationFailsTheRun()
    {
        QFETCH(QByteArray, answer);
        QFETCH(QString, description);
        backend->libraryAnswer = answer;
        auto state = makeState();
        state->setSelectedFile(writeFile("clip.mov", "video"));
        state->setVideoName(QStringLiteral("Dive"));
        Snapshot duringRegistration;
        onRequest(UploadBackend::libraryPath, [&] { duringRegistration = snapshotOf(*state); });
        QSignalSpy overlay(state.get(), &FileUploaderState::showSuccessAnimationChanged);
        Diagnostics::Capture output;

        state->startUpload();
        QTRY_COMPARE_WITH_TIMEOUT(state->statusMessage(), "Upload failed: " + description, 10000);
        QCOMPARE(duringRegistration.isUploading, true);
        QCOMPARE(duringRegistration.statusMessage, uploading);
        QCOMPARE(state->isUploading(), false);
        QVERIFY(state->logs().endsWith("✅ Finished clip.mov\nAPI Error: " + description
                                       + "\n\n❌ Upload errored: " + description + "\n"));
        QCOMPARE(overlay.size(), 0);
    }

    void aCancelledRunCannotTouchTheNextRun()
    {
        backend->chunkCounts = {{0, 3}};
        backend->overrides.insert(UploadBackend::partPath(0, 2), ScriptedResponse::stall());
        auto state = makeState();
        state->selectFileFormat(FileFormat::twoD);
        state->setSelectedFile(writeFile("first.mov", bytesOfLength(25, 'f')));
        state->setVideoName(QStringLiteral("Dive"));
        const QUrl second = writeFile("second.mov", "second");
        QStringList statuses;
        onRequest(UploadBackend::partPath(0, 2), [&] {
            state->cancelUpload();
            state->setSelectedFile(second);
            state->startUpload();
            connect(state.get(), &FileUploaderState::statusMessageChanged, this,
                    [&] { statuses.append(state->statusMessage()); });
        });
        Diagnostics::Capture output;

        state->startUpload();
        QTRY_COMPARE_WITH_TIMEOUT(state->statusMessage(), completed, 10000);
        // The first run has given up by now: its transfer reported the cancelled part.
        QTRY_VERIFY_WITH_TIMEOUT(output.lines().filter("❌ Upload failed for chunk 2").size() == 1, 10000);

        QCOMPARE(statuses, QStringList({completed}));
        QCOMPARE(state->statusMessage(), completed);
        QCOMPARE(state->logs(), QStringLiteral("🎬 Uploading second.mov…\nUploaded (100%)\n"
                                               "✅ Finished second.mov\n"
                                               "Video uploaded. Library ID: 77, Name: Dive\n\n"));
        QCOMPARE(backend->sessionFileNames(), QStringList({"first.mov", "second.mov"}));
        const auto registrations = backend->requestsTo(UploadBackend::libraryPath);
        QCOMPARE(registrations.size(), 1);
        QCOMPARE(formField(registrations.first(), "uploadedUrl"), UploadBackend::storageUrl(1));
    }

    void anOverlappedRunCannotTouchTheNextRun()
    {
        backend->overrides.insert(UploadBackend::partPath(1, 1), ScriptedResponse::stall());
        auto state = makeState();
        state->selectFileFormat(FileFormat::twoD);
        state->setSelectedFile(writeFile("first.mov", "first"));
        state->setVideoName(QStringLiteral("Dive"));
        const QUrl second = writeFile("second.mov", "second");
        // The first run's part is answered right after this: its progress, its lines and its
        // registration all come while the second run is in flight.
        onRequest(UploadBackend::partPath(0, 1), [&] {
            state->setSelectedFile(second);
            state->startUpload();
        });
        QStringList finishedPaths;
        connect(&HttpClient::manager(), &QNetworkAccessManager::finished, state.get(),
                [&](QNetworkReply *reply) { finishedPaths.append(reply->url().path()); });
        Diagnostics::Capture output;

        state->startUpload();
        QTRY_VERIFY_WITH_TIMEOUT(finishedPaths.contains(UploadBackend::libraryPath), 10000);
        QTRY_VERIFY_WITH_TIMEOUT(!backend->requestsTo(UploadBackend::partPath(1, 1)).isEmpty(), 10000);

        QCOMPARE(backend->requestsTo(UploadBackend::libraryPath).size(), 1);
        QCOMPARE(state->isUploading(), true);
        QCOMPARE(state->statusMessage(), uploading);
        QCOMPARE(state->progress(), 0.0);
        QCOMPARE(state->showSuccessAnimation(), false);
        QCOMPARE(state->logs(), "🎬 Uploading second.mov…\n");

        state->cancelUpload();
        QTRY_COMPARE_WITH_TIMEOUT(state->statusMessage(), "Upload failed: Failed to upload second.mov", 10000);
    }

    void namesTheUserChoseAreNotLogCommands()
    {
        backend->overrides.insert(UploadBackend::partPath(0, 1), ScriptedResponse::json(403, ""));
        backend->libraryAnswer = libraryEntryNamed(QStringLiteral("A newer version 99%"));
        auto state = makeState();
        state->selectFileFormat(FileFormat::twoD);
        state->setVideoName(QStringLiteral("Dive"));
        Diagnostics::Capture output;

        const QString failing = QStringLiteral("Number of takes 45%.mov");
        state->setSelectedFile(writeFile(failing, "first"));
        state->startUpload();
        QTRY_COMPARE_WITH_TIMEOUT(state->statusMessage(), "Upload failed: Failed to upload " + failing, 10000);
        QCOMPARE(state->logs(), "🎬 Uploading " + failing + "…\n❌ Upload errored: Failed to upload " + failing + "\n");
        QCOMPARE(state->progress(), 0.0);

        const QString stored = QStringLiteral("Log file is located at 7%.mov");
        state->setSelectedFile(writeFile(stored, "second"));
        state->startUpload();
        QTRY_COMPARE_WITH_TIMEOUT(state->statusMessage(), completed, 10000);
        QCOMPARE(state->logs(), "🎬 Uploading " + stored + "…\nUploaded (100%)\n✅ Finished " + stored
                                    + "\nVideo uploaded. Library ID: 5, Name: A newer version 99%\n\n");
        QCOMPARE(state->progress(), 1.0);
    }

    void signingOutMidRunFailsTheRun_data()
    {
        QTest::addColumn<bool>("withSideFiles");
        QTest::addColumn<QStringList>("sessions");
        QTest::newRow("before the next file") << true << QStringList{"scene.aime"};
        QTest::newRow("before the registration") << false << QStringList{"clip.mov"};
    }

    void signingOutMidRunFailsTheRun()
    {
        QFETCH(bool, withSideFiles);
        QFETCH(QStringList, sessions);
        auto state = makeState();
        state->selectFileFormat(withSideFiles ? immersive : FileFormat::twoD);
        state->setSelectedFile(writeFile("clip.mov", "video"));
        if (withSideFiles) {
            state->setSelectedAIMEFile(writeFile("scene.aime", "aime"));
            state->setSelectedFCPXMLZip(writeFile("edit.zip", "zip"));
        }
        state->setVideoName(QStringLiteral("Dive"));
        onRequest(UploadBackend::partPath(0, 1), [&] { session->setApiKey(std::nullopt); });
        Diagnostics::Capture output;

        state->startUpload();
        const QString description = QStringLiteral("You were signed out during the upload.");
        QTRY_COMPARE_WITH_TIMEOUT(state->statusMessage(), "Upload failed: " + description, 10000);
        QVERIFY(state->logs().endsWith("✅ Finished " + sessions.first() + "\n❌ Upload errored: " + description + "\n"));
        QCOMPARE(backend->sessionFileNames(), sessions);
        QVERIFY(backend->requestsTo(UploadBackend::libraryPath).isEmpty());
    }

    void anUnparsableCompletionUrlFailsTheRun_data()
    {
        QTest::addColumn<bool>("sideFile");
        QTest::addColumn<QString>("completeUploadUrl");
        QTest::newRow("side file") << true << "http://[broken";
        QTest::newRow("video file") << false << "http://[broken";
        QTest::newRow("video file, empty") << false << "";
        QTest::newRow("video file, relative") << false << "complete";
    }

    void anUnparsableCompletionUrlFailsTheRun()
    {
        QFETCH(bool, sideFile);
        QFETCH(QString, completeUploadUrl);
        backend->completeUploadUrls.insert(0, completeUploadUrl);
        auto state = makeState();
        state->setSelectedFile(writeFile("clip.aivu", "video"));
        if (sideFile)
            state->setSelectedAIMEFile(writeFile("scene.aime", "aime"));
        state->setVideoName(QStringLiteral("Dive"));
        Diagnostics::Capture output;

        state->startUpload();
        const QString description = Error::badUrl(completeUploadUrl).description();
        QTRY_COMPARE_WITH_TIMEOUT(state->statusMessage(), "Upload failed: " + description, 10000);
        const QString fileName = sideFile ? "scene.aime" : "clip.aivu";
        QCOMPARE(state->logs(), "🎬 Uploading " + fileName + "…\n❌ Upload errored: " + description + "\n");
        QCOMPARE(backend->sessionFileNames(), QStringList({fileName}));
        QCOMPARE(server->requests().size(), 1);
    }
};

QTEST_MAIN(FileUploaderStateTest)
#include "tst_fileuploaderstate.moc"
