// upload-file SESSION.json FILE
//
// Decodes SESSION.json as the service's upload session answer and stores FILE through it.
// Standard output carries exactly the transfer's own lines; the progress texts go to standard
// error. Exit status: 0 stored, 1 not stored, 2 bad arguments or an undecodable session.

#include "BackblazePayload.h"
#include "UploadDriver.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QTimer>

#include <cstdio>

namespace {
enum ExitStatus { stored = 0, notStored = 1, unusable = 2 };

void printError(const QString &text)
{
    const QByteArray bytes = text.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    std::fflush(stderr);
}

std::optional<BackblazePayload> readSession(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        printError(QStringLiteral("upload-file: cannot read %1: %2").arg(path, file.errorString()));
        return std::nullopt;
    }
    auto session = BackblazePayload::decode(file.readAll());
    if (!session) {
        printError(QStringLiteral("upload-file: %1: %2").arg(path, session.error().description()));
        return std::nullopt;
    }
    return std::move(session).value();
}

// As the upload workflow does: a completion URL that does not parse is no completion URL.
std::optional<QUrl> completionUrl(const QString &text)
{
    const QUrl url(text, QUrl::StrictMode);
    if (!url.isValid() || url.isEmpty())
        return std::nullopt;
    return url;
}

QCoro::Task<> upload(BackblazePayload session, QString filePath)
{
    const bool done = co_await uploadFileSequentially(
            QUrl::fromLocalFile(QFileInfo(filePath).absoluteFilePath()), session.chunkSize,
            session.presignedChunkUrls, completionUrl(session.completeUploadUrl), printError);
    QCoreApplication::exit(done ? stored : notStored);
}
}

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    if (arguments.size() != 3) {
        printError(QStringLiteral("usage: upload-file SESSION.json FILE"));
        return unusable;
    }
    auto session = readSession(arguments.at(1));
    if (!session)
        return unusable;

    // Started from the event loop, so that its exit() is never called before exec().
    QCoro::Task<> running;
    QTimer::singleShot(0, &app, [&] { running = upload(std::move(*session), arguments.at(2)); });
    return app.exec();
}
