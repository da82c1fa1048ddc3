#include "APIService.h"
#include "ApiKeyPreference.h"
#include "DevService.h"
#include "Diagnostics.h"
#include "FileFormat.h"
#include "FileUploaderState.h"
#include "SessionManager.h"

#include <QCryptographicHash>
#include <QFile>
#include <QJsonArray>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

namespace {
constexpr qint64 chunk = 5 * 1024 * 1024;
}

// Whole runs of the upload screen's task against the local service and S3 store.
class EndToEndWorkflowTest : public QObject
{
    Q_OBJECT

    DevService stack;
    QTemporaryDir folder;
    std::unique_ptr<SessionManager> session;

    QUrl writeFile(const QString &name, qint64 size, char seed)
    {
        QByteArray bytes(size, Qt::Uninitialized);
        for (qint64 i = 0; i < size; ++i)
            bytes[i] = char(seed + (i * 7919) % 251);
        QFile file(folder.filePath(name));
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != size)
            return {};
        return QUrl::fromLocalFile(file.fileName());
    }

    QByteArray fileHash(const QUrl &file)
    {
        QFile source(file.toLocalFile());
        return source.open(QIODevice::ReadOnly)
            ? QCryptographicHash::hash(source.readAll(), QCryptographicHash::Sha256)
            : QByteArray();
    }

    QByteArray storedHash(const QString &bbUrl)
    {
        const auto object = stack.object(bbUrl);
        return object ? QCryptographicHash::hash(*object, QCryptographicHash::Sha256) : QByteArray("missing");
    }

    // Starts the run and waits until it is no longer uploading.
    bool run(FileUploaderState &state)
    {
        QSignalSpy finished(&state, &FileUploaderState::isUploadingChanged);
        state.startUpload();
        if (!state.isUploading())
            return false;
        return finished.wait(120000) && !state.isUploading();
    }

    // The storage URLs the service handed out, in the order the sessions were asked for.
    QStringList sessionUrls()
    {
        QStringList urls;
        for (const QJsonValue session : stack.sessions())
            urls.append(session["bbUrl"].toString());
        return urls;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        QFile::remove(ApiKeyPreference::filePath());
        QVERIFY(folder.isValid());
        QVERIFY2(stack.start({"--chunk-size", QString::number(chunk)}), qPrintable(stack.failure()));
        session = std::make_unique<SessionManager>(APIService(stack.apiUrl()));
        session->setApiKey(DevService::demoKey);
    }

    void immersiveRunStoresSideFilesFirstAndRegistersEveryUrl()
    {
        FileUploaderState state{APIService(stack.apiUrl())};
        state.setSessionManager(session.get());
        const QUrl aime = writeFile("scene.aime", 4096, 'a');
        const QUrl fcpxml = writeFile("edit.fcpxml.zip", chunk + 17, 'f');
        const QUrl video = writeFile("Reef Dive.aivu", 2 * chunk + 3, 'v');
        state.setSelectedFile(video);
        state.handleSelectedFileChange(video);
        QCOMPARE(state.selectedFileFormat(), FileFormat::appleImmersive);
        state.setSelectedAIMEFile(aime);
        state.setSelectedFCPXMLZip(fcpxml);
        state.setVideoName("Reef Dive");
        const qsizetype sessionsBefore = stack.sessions().size();

        Diagnostics::Capture output;
        QVERIFY(run(state));
        QCOMPARE(state.statusMessage(), "Upload completed!");

        const QStringList urls = sessionUrls().mid(sessionsBefore);
        QCOMPARE(urls.size(), 3);
        QCOMPARE(storedHash(urls[0]), fileHash(aime));
        QCOMPARE(storedHash(urls[1]), fileHash(fcpxml));
        QCOMPARE(storedHash(urls[2]), fileHash(video));
        const QJsonObject entry = stack.library().last().toObject();
        QCOMPARE(entry["video_url_left"].toString(), urls[2]);
        QCOMPARE(entry["aime_url"].toString(), urls[0]);
        QCOMPARE(entry["fcpxml_url"].toString(), urls[1]);
        QCOMPARE(entry["file_format_3d"].toString(), "AIV");
        // An .aivu file switches the format but leaves the perspective as chosen.
        QCOMPARE(entry["perspective"].toInt(), 60);
        QVERIFY(state.logs().contains(QStringLiteral("Video uploaded. Library ID: %1, Name: Reef Dive\n")
                                          .arg(entry["id"].toInteger())));
    }

    void separateRunStoresBothEyesAndRegistersThem()
    {
        FileUploaderState state{APIService(stack.apiUrl())};
        state.setSessionManager(session.get());
        state.selectFileFormat(FileFormat::separate);
        const QUrl left = writeFile("left eye.mov", chunk * 3 / 2, 'l');
        const QUrl right = writeFile("right eye.mov", 1000, 'r');
        state.setSelectedFileLeft(left);
        state.setSelectedFileRight(right);
        state.setVideoName("Two Eyes");
        const qsizetype sessionsBefore = stack.sessions().size();

        QVERIFY(run(state));
        QCOMPARE(state.statusMessage(), "Upload completed!");
        QCOMPARE(state.progress(), 1.0);

        const QStringList urls = sessionUrls().mid(sessionsBefore);
        QCOMPARE(urls.size(), 2);
        QCOMPARE(storedHash(urls[0]), fileHash(left));
        QCOMPARE(storedHash(urls[1]), fileHash(right));
        const QJsonObject entry = stack.library().last().toObject();
        QCOMPARE(entry["video_url_left"].toString(), urls[0]);
        QCOMPARE(entry["video_url_right"].toString(), urls[1]);
        QCOMPARE(entry["file_format_3d"].toString(), "Separate");
        QCOMPARE(entry["is_3d"].toBool(), true);
    }
};

QTEST_GUILESS_MAIN(EndToEndWorkflowTest)
#include "tst_endtoendworkflow.moc"
