// One upload of the upload screen's state in a process of its own, signed in with the local
// service's demo key, so that a test can kill it part-way as a crash or a power cut would.
//   UploadRunner API_URL FORMAT NAME FILE [FILE…]
// The files: the video; the left and the right eye for "Separate"; the video, the AIME and the
// FCPXML file for the immersive format. Exits 0 once the video is registered, 1 otherwise.

#include "APIService.h"
#include "DevService.h"
#include "FileFormat.h"
#include "FileUploaderState.h"
#include "SessionManager.h"
#include "WorkflowRun.h"

#include <QCoreApplication>
#include <QStandardPaths>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    // The test that starts it reads the same preferences and records.
    QStandardPaths::setTestModeEnabled(true);
    const QStringList arguments = app.arguments().mid(1);
    if (arguments.size() < 4)
        return 2;
    SessionManager session{APIService(arguments[0])};
    FileUploaderState state;
    state.setSessionManager(&session);
    state.selectFileFormat(arguments[1]);
    state.setVideoName(arguments[2]);
    const QList<QUrl> files = [&] {
        QList<QUrl> urls;
        for (const QString &path : arguments.mid(3))
            urls.append(QUrl::fromLocalFile(path));
        return urls;
    }();
    if (arguments[1] == FileFormat::separate) {
        state.setSelectedFileLeft(files.value(0));
        state.setSelectedFileRight(files.value(1));
    } else {
        state.setSelectedFile(files.value(0));
        state.setSelectedAIMEFile(files.value(1));
        state.setSelectedFCPXMLZip(files.value(2));
    }
    QObject::connect(&session, &SessionManager::workspaceDataChanged, &app, [&] {
        if (session.hasWorkspace() && !state.isUploading())
            state.startUpload();
    });
    const auto exitOnceEnded = [&] {
        if (runHasEnded(state))
            app.exit(state.statusMessage() == u"Upload completed!" ? 0 : 1);
    };
    QObject::connect(&state, &FileUploaderState::statusMessageChanged, &app, exitOnceEnded);
    QObject::connect(&state, &FileUploaderState::logsChanged, &app, exitOnceEnded);
    session.signIn(DevService::demoKey);
    return app.exec();
}
