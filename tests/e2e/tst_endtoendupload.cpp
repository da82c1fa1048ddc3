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
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

namespace {
constexpr qint64 chunk = 5 * 1024 * 1024;

QByteArray sha256(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
}
}

// Whole runs of the upload screen's task against the real service protocol, real presigned
// URLs and a real S3 store: only the network is local. What the store holds is compared with
// the files picked byte for byte.
class EndToEndUploadTest : public QObject
{
    Q_OBJECT

    DevService stack;
    QTemporaryDir folder;
    std::unique_ptr<SessionManager> session;
    QHash<QUrl, QByteArray> fileHashes;

    QUrl writeFile(const QString &name, qint64 size)
    {
        QList<quint32> words(size / 4 + 1);
        QRandomGenerator(quint32(size)).fillRange(words.data(), words.size());
        const QByteArray bytes(reinterpret_cast<const char *>(words.constData()), size);
        QFile file(folder.filePath(name));
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != size)
            qFatal("cannot write %s", qPrintable(file.fileName()));
        const QUrl url = QUrl::fromLocalFile(file.fileName());
        fileHashes.insert(url, sha256(bytes));
        return url;
    }

    QByteArray storedHash(const QString &bbUrl)
    {
        const auto object = stack.object(bbUrl);
        return object ? sha256(*object) : QByteArray("missing");
    }

    std::unique_ptr<FileUploaderState> makeState(const QString &videoName)
    {
        auto state = std::make_unique<FileUploaderState>(APIService(stack.apiUrl()));
        state->setSessionManager(session.get());
        state->setVideoName(videoName);
        return state;
    }

    // Runs the upload to its end; answers the storage URLs of the sessions it was handed.
    QStringList run(FileUploaderState &state)
    {
        const qsizetype sessionsBefore = stack.sessions().size();
        QSignalSpy finished(&state, &FileUploaderState::isUploadingChanged);
        Diagnostics::Capture output;
        state.startUpload();
        if (!state.isUploading() || !finished.wait(120000) || state.statusMessage() != u"Upload completed!")
            qWarning().noquote() << state.statusMessage() << state.logs();
        QStringList urls;
        for (const QJsonValue handedOut : stack.sessions())
            urls.append(handedOut["bbUrl"].toString());
        return urls.mid(sessionsBefore);
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

    void everySizeArrivesByteIdenticalAndIsRegistered_data()
    {
        QTest::addColumn<qint64>("size");
        QTest::newRow("empty") << qint64(0);
        QTest::newRow("one byte") << qint64(1);
        QTest::newRow("chunk - 1") << chunk - 1;
        QTest::newRow("chunk") << chunk;
        QTest::newRow("chunk + 1") << chunk + 1;
        QTest::newRow("3.5 chunks") << chunk * 7 / 2;
        QTest::newRow("64 MiB") << qint64(64 * 1024 * 1024);
    }

    void everySizeArrivesByteIdenticalAndIsRegistered()
    {
        QFETCH(qint64, size);
        const QUrl video = writeFile(QStringLiteral("clip %1 bytes.mov").arg(size), size);
        auto state = makeState(QStringLiteral("Clip %1").arg(size));
        state->selectFileFormat(FileFormat::twoD);
        state->setSelectedFile(video);

        const QStringList urls = run(*state);
        QCOMPARE(state->statusMessage(), "Upload completed!");
        QCOMPARE(urls.size(), 1);
        QCOMPARE(storedHash(urls[0]), fileHashes.value(video));
        const QJsonObject entry = stack.library().last().toObject();
        QCOMPARE(entry["video_url_left"].toString(), urls[0]);
        QCOMPARE(entry["file_format_3d"].toString(), "2D");
        QCOMPARE(entry["video_name"].toString(), QStringLiteral("Clip %1").arg(size));
    }

    void immersiveRunStoresSideFilesFirstAndRegistersEveryUrl()
    {
        auto state = makeState("Reef Dive");
        const QUrl aime = writeFile("scene.aime", 4096);
        const QUrl fcpxml = writeFile("edit.fcpxml.zip", chunk + 17);
        const QUrl video = writeFile("Reef Dive.aivu", 2 * chunk + 3);
        state->setSelectedFile(video);
        state->handleSelectedFileChange(video);
        QCOMPARE(state->selectedFileFormat(), FileFormat::appleImmersive);
        state->setSelectedAIMEFile(aime);
        state->setSelectedFCPXMLZip(fcpxml);

        const QStringList urls = run(*state);
        QCOMPARE(state->statusMessage(), "Upload completed!");
        QCOMPARE(urls.size(), 3);
        QCOMPARE(storedHash(urls[0]), fileHashes.value(aime));
        QCOMPARE(storedHash(urls[1]), fileHashes.value(fcpxml));
        QCOMPARE(storedHash(urls[2]), fileHashes.value(video));
        const QJsonObject entry = stack.library().last().toObject();
        QCOMPARE(entry["video_url_left"].toString(), urls[2]);
        QCOMPARE(entry["aime_url"].toString(), urls[0]);
        QCOMPARE(entry["fcpxml_url"].toString(), urls[1]);
        QCOMPARE(entry["file_format_3d"].toString(), "AIV");
        // An .aivu file switches the format but leaves the perspective as chosen.
        QCOMPARE(entry["perspective"].toInt(), 60);
        QVERIFY(state->logs().contains(QStringLiteral("Video uploaded. Library ID: %1, Name: Reef Dive\n")
                                           .arg(entry["id"].toInteger())));
    }

    void separateRunStoresBothEyesAndRegistersThem()
    {
        auto state = makeState("Two Eyes");
        state->selectFileFormat(FileFormat::separate);
        const QUrl left = writeFile("left eye.mov", chunk * 3 / 2);
        const QUrl right = writeFile("right eye.mov", 1000);
        state->setSelectedFileLeft(left);
        state->setSelectedFileRight(right);

        const QStringList urls = run(*state);
        QCOMPARE(state->statusMessage(), "Upload completed!");
        QCOMPARE(state->progress(), 1.0);
        QCOMPARE(urls.size(), 2);
        QCOMPARE(storedHash(urls[0]), fileHashes.value(left));
        QCOMPARE(storedHash(urls[1]), fileHashes.value(right));
        const QJsonObject entry = stack.library().last().toObject();
        QCOMPARE(entry["video_url_left"].toString(), urls[0]);
        QCOMPARE(entry["video_url_right"].toString(), urls[1]);
        QCOMPARE(entry["file_format_3d"].toString(), "Separate");
        QCOMPARE(entry["is_3d"].toBool(), true);
    }
};

QTEST_GUILESS_MAIN(EndToEndUploadTest)
#include "tst_endtoendupload.moc"
