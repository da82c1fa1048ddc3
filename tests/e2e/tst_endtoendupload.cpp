#include "APIService.h"
#include "ApiKeyPreference.h"
#include "DevService.h"
#include "Diagnostics.h"
#include "FileFormat.h"
#include "FileUploaderState.h"
#include "SessionManager.h"
#include "WorkflowRun.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

namespace {
constexpr qint64 chunk = 5 * 1024 * 1024;
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

private Q_SLOTS:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        QFile::remove(ApiKeyPreference::filePath());
        // Names with spaces, letters beyond ASCII and characters URLs treat specially, all the way.
        QVERIFY(folder.isValid() && QDir(folder.path()).mkdir("Übung 水中"));
        QVERIFY2(stack.start({"--chunk-size", QString::number(chunk)}), qPrintable(stack.failure()));
        session = std::make_unique<SessionManager>(APIService(stack.apiUrl()));
        session->setApiKey(DevService::demoKey);
    }

    // The files in the order they are sent, each with the library entry's key for its URL.
    void everyFormatAndSizeArrivesByteIdenticalAndIsRegistered_data()
    {
        QTest::addColumn<QString>("format");
        QTest::addColumn<QList<qint64>>("sizes");
        QTest::addColumn<QStringList>("keys");
        QTest::addColumn<QString>("registeredFormat");
        const QStringList video{"video_url_left"};
        QTest::newRow("empty") << FileFormat::twoD << QList<qint64>{0} << video << "2D";
        QTest::newRow("one byte") << FileFormat::twoD << QList<qint64>{1} << video << "2D";
        QTest::newRow("chunk - 1") << FileFormat::twoD << QList<qint64>{chunk - 1} << video << "2D";
        QTest::newRow("chunk") << FileFormat::twoD << QList<qint64>{chunk} << video << "2D";
        QTest::newRow("chunk + 1") << FileFormat::twoD << QList<qint64>{chunk + 1} << video << "2D";
        QTest::newRow("3.5 chunks") << FileFormat::twoD << QList<qint64>{chunk * 7 / 2} << video << "2D";
        QTest::newRow("64 MiB") << FileFormat::twoD << QList<qint64>{64 * 1024 * 1024} << video << "2D";
        QTest::newRow("both eyes") << FileFormat::separate << QList<qint64>{chunk * 3 / 2, 1000}
                                   << QStringList{"video_url_left", "video_url_right"} << "Separate";
        QTest::newRow("immersive, side files first")
            << FileFormat::appleImmersive << QList<qint64>{4096, chunk + 17, 2 * chunk + 3}
            << QStringList{"aime_url", "fcpxml_url", "video_url_left"} << "AIV";
    }

    void everyFormatAndSizeArrivesByteIdenticalAndIsRegistered()
    {
        QFETCH(QString, format);
        QFETCH(QList<qint64>, sizes);
        QFETCH(QStringList, keys);
        QFETCH(QString, registeredFormat);
        const QString videoName = QString::fromUtf8(QTest::currentDataTag());
        FileUploaderState state{APIService(stack.apiUrl())};
        state.setSessionManager(session.get());
        state.selectFileFormat(format);
        state.setVideoName(videoName);
        QStringList names;
        QByteArrayList hashes;
        for (qsizetype i = 0; i < keys.size(); ++i) {
            const QString extension = keys[i] == u"aime_url" ? ".aime" : keys[i] == u"fcpxml_url" ? ".fcpxml.zip" : ".mov";
            names.append(videoName + " – Plongée 🐠 (take 2) + 100% #" + QString::number(i) + " & more=ok" + extension);
            const QByteArray bytes = sampleBytes(names[i], sizes[i]);
            const QString path = folder.filePath("Übung 水中/" + names[i]);
            QVERIFY(writeFile(path, bytes));
            hashes.append(sha256(bytes));
            const QUrl file = QUrl::fromLocalFile(path);
            if (keys[i] == u"aime_url")
                state.setSelectedAIMEFile(file);
            else if (keys[i] == u"fcpxml_url")
                state.setSelectedFCPXMLZip(file);
            else if (keys[i] == u"video_url_right")
                state.setSelectedFileRight(file);
            else if (format == FileFormat::separate)
                state.setSelectedFileLeft(file);
            else
                state.setSelectedFile(file);
        }
        const qsizetype sessionsBefore = stack.sessions().size();

        Diagnostics::Capture output;
        QVERIFY2(startAndFinish(state), qPrintable(runSummary(state)));
        QCOMPARE(state.statusMessage(), "Upload completed!");
        const QJsonArray sessions = stack.sessions();
        QCOMPARE(sessions.size() - sessionsBefore, names.size());
        const QJsonObject entry = stack.library().last().toObject();
        for (qsizetype i = 0; i < names.size(); ++i) {
            const QJsonObject handedOut = sessions[sessionsBefore + i].toObject();
            QCOMPARE(handedOut["fileName"].toString(), names[i]);
            const QString bbUrl = handedOut["bbUrl"].toString();
            const auto stored = stack.object(bbUrl);
            QVERIFY2(stored && sha256(*stored) == hashes[i], qPrintable(names[i]));
            QCOMPARE(entry[keys[i]].toString(), bbUrl);
        }
        QCOMPARE(entry["file_format_3d"].toString(), registeredFormat);
        QCOMPARE(entry["video_name"].toString(), videoName);
        const QString printed = output.lines().join(u'\n');
        QVERIFY(printed.contains("X-Amz-Signature=…"));
        QVERIFY2(!printed.contains(QRegularExpression("Signature=(?!…)")), qPrintable(printed));
    }
};

QTEST_GUILESS_MAIN(EndToEndUploadTest)
#include "tst_endtoendupload.moc"
