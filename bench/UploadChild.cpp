#include "UploadChild.h"

#include "APIService.h"
#include "FileFormat.h"
#include "FileUploaderState.h"
#include "SessionManager.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QUrl>

int runUploadChild(const QString &apiUrl, const QString &apiKey, const QString &filePath)
{
    SessionManager session{APIService(apiUrl)};
    FileUploaderState state;
    state.setSessionManager(&session);
    const QUrl file = QUrl::fromLocalFile(filePath);
    state.selectFileFormat(FileFormat::twoD);
    state.setSelectedFile(file);
    state.handleSelectedFileChange(file);
    state.setVideoName(QFileInfo(filePath).completeBaseName());
    QObject::connect(&session, &SessionManager::workspaceDataChanged, &state, [&] {
        if (session.hasWorkspace() && !state.isUploading())
            state.startUpload();
    });
    const auto exitOnceEnded = [&] {
        if (state.statusMessage() == u"Upload completed!")
            QCoreApplication::exit(0);
        else if (state.logs().contains(u"❌ Upload errored: "))
            QCoreApplication::exit(1);
    };
    QObject::connect(&state, &FileUploaderState::statusMessageChanged, &state, exitOnceEnded);
    QObject::connect(&state, &FileUploaderState::logsChanged, &state, exitOnceEnded);
    session.signIn(apiKey);
    return QCoreApplication::exec();
}
