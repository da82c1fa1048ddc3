#include "APIService.h"
#include "AsyncSleep.h"
#include "DevService.h"
#include "Diagnostics.h"
#include "TaskWaiter.h"
#include "UploadDriver.h"

#include <QCryptographicHash>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

namespace {
constexpr qint64 chunk = 5 * 1024 * 1024;

QByteArray sha256(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex();
}
}

// Real service protocol, real presigned URLs, a real S3 store: only the network is local.
class EndToEndUploadTest : public QObject
{
    Q_OBJECT

    DevService stack;
    QTemporaryDir folder;
    std::unique_ptr<APIService> service;

    QString writeFile(const QString &name, qint64 size)
    {
        QByteArray bytes(size, Qt::Uninitialized);
        QRandomGenerator generator{quint32(size)};
        for (qint64 offset = 0; offset + 4 <= size; offset += 4) {
            const quint32 word = generator.generate();
            memcpy(bytes.data() + offset, &word, 4);
        }
        for (qint64 offset = size - size % 4; offset < size; ++offset)
            bytes[offset] = char(generator.generate());
        QFile file(folder.filePath(name));
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != size)
            return {};
        return file.fileName();
    }

    struct Upload
    {
        bool stored = false;
        QString bbUrl;
        QStringList messages;
    };

    Upload upload(const QString &path)
    {
        Upload result;
        const QFileInfo info(path);
        const auto session = waitForTask(service->requestUploadSession(DevService::demoKey, info.fileName(), info.size()));
        if (!session) {
            qWarning() << "no upload session:" << session.error().description();
            return result;
        }
        result.bbUrl = session.value().bbUrl;
        result.stored = waitForTask(uploadFileSequentially(
            QUrl::fromLocalFile(path), session.value().chunkSize, session.value().presignedChunkUrls,
            QUrl(session.value().completeUploadUrl),
            [&result](const QString &message) { result.messages.append(message); }));
        return result;
    }

    QByteArray storedHash(const QString &bbUrl)
    {
        const auto object = stack.object(bbUrl);
        return object ? sha256(*object) : QByteArray("missing");
    }

    QByteArray fileHash(const QString &path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? sha256(file.readAll()) : QByteArray();
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(folder.isValid());
        QVERIFY2(stack.start({"--chunk-size", QString::number(chunk)}), qPrintable(stack.failure()));
        service = std::make_unique<APIService>(stack.apiUrl());
        AsyncSleep::setTimeScale(0.01);
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
        const QString path = writeFile(QStringLiteral("clip %1 bytes.mov").arg(size), size);
        QVERIFY(!path.isEmpty());
        Diagnostics::Capture output;
        const Upload result = upload(path);
        QVERIFY2(result.stored, qPrintable(output.lines().join('\n')));
        QCOMPARE(result.messages.last(), "Uploaded (100%)");
        QCOMPARE(storedHash(result.bbUrl), fileHash(path));

        const auto entry = waitForTask(service->submitLibraryData(
            DevService::demoKey, result.bbUrl, {}, "2D", false, 60, QFileInfo(path).baseName(), {}, {}));
        QVERIFY2(entry, qPrintable(entry ? QString() : entry.error().description()));
        QCOMPARE(entry.value().videoUrlLeft, result.bbUrl);
        QCOMPARE(entry.value().fileFormat3D, "2D");
    }

    void storageFaultsAreRetriedToAnIdenticalObject()
    {
        const QString path = writeFile("faulty network.mov", chunk * 3 + 100);
        QVERIFY(stack.addFault({{"kind", "part"}, {"action", "respond"}, {"status", 503}, {"skip", 1}}));
        QVERIFY(stack.addFault({{"kind", "part"}, {"action", "drop"}, {"afterBytes", 65536}, {"skip", 1}}));
        QVERIFY(stack.addFault({{"kind", "complete"}, {"action", "respond"}, {"status", 500}}));
        Diagnostics::Capture output;
        const Upload result = upload(path);
        QVERIFY2(result.stored, qPrintable(output.lines().join('\n')));
        QVERIFY(output.lines().contains("⚠️ Upload attempt 1 failed for part 2: HTTP 503"));
        const QJsonArray seen = stack.storageRequests();
        QVERIFY(std::any_of(seen.begin(), seen.end(),
                            [](const QJsonValue &request) { return request["fault"] == "drop"; }));
        QCOMPARE(storedHash(result.bbUrl), fileHash(path));
    }

    void aPartRefusedOnEveryAttemptStoresAndRegistersNothing()
    {
        const QString path = writeFile("refused.mov", chunk * 2);
        const qsizetype registered = stack.library().size();
        QVERIFY(stack.addFault({{"kind", "part"}, {"action", "respond"}, {"status", 403}, {"count", 3}, {"skip", 1}}));
        Diagnostics::Capture output;
        const Upload result = upload(path);
        QVERIFY(!result.stored);
        QVERIFY(output.lines().contains("❌ Upload failed for chunk 2: HTTP 403"));
        QCOMPARE(result.messages, QStringList({"Uploaded (50%)"}));
        QVERIFY(!stack.object(result.bbUrl));
        QCOMPARE(stack.library().size(), registered);
    }
};

QTEST_GUILESS_MAIN(EndToEndUploadTest)
#include "tst_endtoendupload.moc"
