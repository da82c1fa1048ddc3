// screenshots FOLDER
//
// Renders the pictures of the screens that the README shows into FOLDER, from the app's own
// QML. The service it is pointed at never answers, the workspace is set by hand, and Qt's test
// mode keeps the user's preferences out of it. Exit status: 0 all written, 1 otherwise.

#include "ApiKeyPreference.h"
#include "ColorSchemeWatcher.h"
#include "FileFormat.h"
#include "FileUploaderState.h"
#include "UploadRecordStore.h"
#include "UploaderApplication.h"

#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickView>
#include <QSettings>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>
#include <QtQml/qqmlextensionplugin.h>

#include <cstdio>

Q_IMPORT_QML_PLUGIN(VellumcastPlugin)

using namespace std::chrono_literals;

namespace {
QString outputFolder;
QTemporaryDir inputFolder;
bool allWritten = true;

// Lets springs and fades come to rest.
void settle(std::chrono::milliseconds time = 1000ms)
{
    QEventLoop loop;
    QTimer::singleShot(time, &loop, &QEventLoop::quit);
    loop.exec();
}

void save(QQuickWindow *window, const QString &name, const QRect &area = QRect())
{
    settle();
    QImage image = window->grabWindow();
    if (area.isValid())
        image = image.copy(area);
    const QString path = QDir(outputFolder).filePath(name + QStringLiteral(".png"));
    const bool written = !image.isNull() && image.save(path);
    std::fprintf(stderr, "%s %s\n", written ? "wrote" : "cannot write", qPrintable(path));
    allWritten = allWritten && written;
}

void inDarkPalette(const std::function<void()> &render)
{
    QGuiApplication::setPalette(ColorSchemeWatcher::darkPalette());
    render();
    QGuiApplication::setPalette(QPalette());
}

QUrl inputFile(const QString &name, qint64 size = 0)
{
    QFile file(inputFolder.filePath(name));
    // Sparse: as large as a real film, without the disk space.
    if (!file.open(QIODevice::WriteOnly) || !file.resize(size))
        qFatal("cannot create %s", qPrintable(file.fileName()));
    return QUrl::fromLocalFile(file.fileName());
}

QQuickItem *findItem(QQuickItem *root, const QString &objectName)
{
    if (root->objectName() == objectName)
        return root;
    for (QQuickItem *child : root->childItems()) {
        if (QQuickItem *found = findItem(child, objectName))
            return found;
    }
    return nullptr;
}

Workspace northwindStudio()
{
    Workspace workspace;
    workspace.workspaceName = QStringLiteral("Northwind Studio");
    return workspace;
}

// The whole window: the sign-in screen, the key change and the upload screen's header.
void renderApplicationWindow(const QString &apiUrl)
{
    for (const bool signedIn : {false, true}) {
        QSettings preference(ApiKeyPreference::organizationName, ApiKeyPreference::applicationName);
        if (signedIn)
            preference.setValue(QStringLiteral("apiKey"), QStringLiteral("vc_demo_key_0123456789"));
        preference.sync();
        UploaderApplication application(APIService(apiUrl), UpdaterManager::Settings{QUrl(apiUrl), "1.0", 24h, 24h});
        QQmlApplicationEngine engine;
        engine.addImportPath(QStringLiteral("qrc:/qt/qml"));
        engine.load(QUrl(QStringLiteral("qrc:/qt/qml/Vellumcast/Main.qml")));
        auto *window = qobject_cast<QQuickWindow *>(engine.rootObjects().value(0));
        if (!window)
            qFatal("cannot load the main window");
        window->resize(960, 680);
        window->show();
        if (!signedIn) {
            save(window, QStringLiteral("sign-in"));
            inDarkPalette([window] { save(window, QStringLiteral("sign-in-dark")); });
            continue;
        }
        // The stored key's workspace is still loading: the service never answers.
        settle();
        const QQuickItem *header = findItem(window->contentItem(), QStringLiteral("uploaderHeader"));
        if (!header)
            qFatal("no header on the upload screen");
        const QRect area = header->mapRectToScene(header->boundingRect()).toAlignedRect().adjusted(0, 0, 0, 12);
        save(window, QStringLiteral("header-loading"), area);
        application.sessionManager()->setWorkspaceData(northwindStudio());
        save(window, QStringLiteral("header-loaded"), area);
        application.appManager()->setEditingAPIKey(true);
        save(window, QStringLiteral("key-change"));
    }
}

// The upload screen on its own, signed in; `prepare` sets up its state once it is shown.
void renderUploadScreen(const QString &apiUrl, const QString &name,
                        const std::function<void(FileUploaderState &)> &prepare, bool dark = false)
{
    SessionManager session{APIService(apiUrl)};
    session.setApiKey(QStringLiteral("vc_demo_key_0123456789"));
    session.setWorkspaceData(northwindStudio());
    AppManager appManager;
    FileUploaderState state{APIService(apiUrl)};
    state.setSessionManager(&session);
    state.setAppManager(&appManager);

    QQuickView view;
    view.engine()->addImportPath(QStringLiteral("qrc:/qt/qml"));
    view.setResizeMode(QQuickView::SizeRootObjectToView);
    view.setInitialProperties({{QStringLiteral("sessionManager"), QVariant::fromValue(&session)},
                               {QStringLiteral("appManager"), QVariant::fromValue(&appManager)},
                               {QStringLiteral("uploaderState"), QVariant::fromValue(&state)}});
    view.setSource(QUrl(QStringLiteral("qrc:/qt/qml/Vellumcast/FileUploaderView.qml")));
    if (view.status() != QQuickView::Ready)
        qFatal("cannot load the upload screen");
    view.resize(1024, 880);
    view.show();
    settle();
    prepare(state);
    if (dark)
        inDarkPalette([&view, &name] { save(&view, name); });
    else
        save(&view, name);
    state.cancelUpload();
}

// What a run of many parts has written by its fifth part.
void logFirstParts(FileUploaderState &state, std::chrono::milliseconds partInterval)
{
    for (int percent = 1; percent <= 5; ++percent) {
        settle(partInterval);
        state.appendLog(QStringLiteral("Uploaded (%1%)").arg(percent));
    }
}
}

int main(int argc, char *argv[])
{
    QStandardPaths::setTestModeEnabled(true);
    QGuiApplication app(argc, argv);
    QGuiApplication::setOrganizationName(ApiKeyPreference::organizationName);
    QGuiApplication::setApplicationName(ApiKeyPreference::applicationName);
    if (argc != 2 || !QDir().mkpath(QString::fromLocal8Bit(argv[1]))) {
        std::fprintf(stderr, "usage: screenshots FOLDER\n");
        return 1;
    }
    outputFolder = QString::fromLocal8Bit(argv[1]);
    QFile::remove(ApiKeyPreference::filePath());
    // Takes connections and never answers: every request to the service waits.
    QTcpServer silentService;
    if (!silentService.listen(QHostAddress::LocalHost))
        qFatal("cannot listen");
    const QString apiUrl = QStringLiteral("http://127.0.0.1:%1/api").arg(silentService.serverPort());

    renderApplicationWindow(apiUrl);
    renderUploadScreen(apiUrl, QStringLiteral("upload-format-separate"), [](FileUploaderState &state) {
        state.selectFileFormat(FileFormat::separate);
        state.setSelectedFileLeft(inputFile(QStringLiteral("Canyon Left.mov")));
        state.setSelectedFileRight(inputFile(QStringLiteral("Canyon Right.mov")));
        state.setVideoName(QStringLiteral("Canyon Flight"));
    });
    renderUploadScreen(apiUrl, QStringLiteral("upload-format-immersive-dark"), [](FileUploaderState &state) {
        state.selectFileFormat(FileFormat::appleImmersive);
        state.setSelectedFile(inputFile(QStringLiteral("Canyon Flight.mov")));
        state.setSelectedAIMEFile(inputFile(QStringLiteral("Canyon Flight.aime")));
        state.setVideoName(QStringLiteral("Canyon Flight"));
    }, true);
    renderUploadScreen(apiUrl, QStringLiteral("upload-uploading"), [](FileUploaderState &state) {
        state.setSelectedFile(inputFile(QStringLiteral("Coral Garden.mov"), 4'500'000'000));
        state.setVideoName(QStringLiteral("Coral Garden"));
        state.startUpload();
        // Parts of 1 % of 4.5 GB every 0.9 s: about 50 MB/s.
        logFirstParts(state, 900ms);
    });
    // A restart after a quit cut an upload short: the form comes back with the offer to resume.
    {
        RunFile video;
        video.file = inputFile(QStringLiteral("Kelp Forest.mov"), 2'000'000'000);
        video.size = video.identity.size = 2'000'000'000;
        video.session = BackblazePayload{QStringLiteral("upload"), QStringLiteral("Kelp Forest.mov"), 100'000'000,
                                         QStringLiteral("http://storage/Kelp Forest.mov"), QStringLiteral("http://storage/complete"),
                                         {{QStringLiteral("http://storage/1"), 1}}};
        for (qint64 part = 1; part <= 13; ++part)
            video.storedParts.append({part, QStringLiteral("\"etag\""), (part - 1) * 100'000'000, 100'000'000});
        const UploadPlan plan{QStringLiteral("Kelp Forest"), FileFormat::twoD, QStringLiteral("360"), {video.file}, {}, {}};
        if (!UploadRecordStore().save(UploadRecord{northwindStudio().id, plan, {video}, false}))
            qFatal("cannot keep the interrupted upload");
    }
    renderUploadScreen(apiUrl, QStringLiteral("upload-interrupted"), [](FileUploaderState &) {});
    UploadRecordStore().remove(northwindStudio().id);
    renderUploadScreen(apiUrl, QStringLiteral("upload-success"), [](FileUploaderState &state) {
        state.setSelectedFile(inputFile(QStringLiteral("Coral Garden.mov")));
        state.setVideoName(QStringLiteral("Coral Garden"));
        state.appendLog(QStringLiteral("🎬 Uploading Coral Garden.mov…"));
        logFirstParts(state, 0ms);
        state.appendLog(QStringLiteral("Uploaded (100%)"));
        state.appendLog(QStringLiteral("✅ Finished Coral Garden.mov"));
        state.appendLog(QStringLiteral("Video uploaded. Library ID: 42, Name: Coral Garden\n"));
        state.setStatusMessage(QStringLiteral("Upload completed!"));
        state.setShowSuccessAnimation(true);
    });
    return allWritten ? 0 : 1;
}
