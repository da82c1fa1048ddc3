#include "UploadRecordStore.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <utime.h>

namespace {
UploadRecord sampleRecord()
{
    RunFile aime;
    aime.file = QUrl::fromLocalFile(QStringLiteral("/videos/Reef.aime"));
    aime.role = RunFile::Role::aime;
    aime.identity = {4, 1, 7};
    aime.size = 4;
    aime.storageUrl = QStringLiteral("http://storage/Reef.aime");
    RunFile video;
    video.file = QUrl::fromLocalFile(QStringLiteral("/videos/Räf 🐠.mov"));
    video.identity = {12, 1'733'580'000'123'456'789, 18'446'744'073'709'551'557ULL};
    video.size = 12;
    video.session = BackblazePayload{QStringLiteral("upload-1"), QStringLiteral("uploads/1/Reef.mov"), 8,
                                     QStringLiteral("http://storage/Reef.mov"), QStringLiteral("http://storage/complete"),
                                     {{QStringLiteral("http://storage/1"), 1}, {QStringLiteral("http://storage/2"), 2}}};
    video.storedParts = {{1, QStringLiteral("\"etag-1\""), 0, 8}};
    UploadPlan plan{QStringLiteral("Reef"), QStringLiteral("Apple Immersive Video (.aivu or ProRes)"),
                    QStringLiteral("180"), {video.file}, aime.file, QUrl()};
    return {42, plan, {aime, video}, false};
}

QFile::Permissions permissionsOf(const QString &path)
{
    return QFileInfo(path).permissions() & (QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup
                                            | QFile::WriteGroup | QFile::ExeGroup | QFile::ReadOther
                                            | QFile::WriteOther | QFile::ExeOther);
}
}

class UploadRecordTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void aRecordComesBackAsItWasSavedAndOnlyTheUserCanReadIt()
    {
        QTemporaryDir home;
        const UploadRecordStore store(home.filePath(QStringLiteral("data/uploads")));
        const UploadRecord record = sampleRecord();
        QCOMPARE(record.storedPercent(), 75);
        QVERIFY(store.save(record));
        UploadRecord later = record;
        later.files[1].storedParts.append({2, QStringLiteral("\"etag-2\""), 8, 4});
        QVERIFY(store.save(later));

        QCOMPARE(permissionsOf(home.filePath(QStringLiteral("data/uploads"))),
                 QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QCOMPARE(permissionsOf(store.filePath(42)), QFile::ReadOwner | QFile::WriteOwner);
        const auto loaded = store.load(42);
        QVERIFY(loaded && loaded.value());
        QCOMPARE(*loaded.value(), later);
        QCOMPARE(later.storedPercent(), 100);
        QVERIFY(!store.load(7).value());

        store.remove(42);
        QVERIFY(!store.load(42).value());
    }

    void aRecordThatCannotBeReadIsReportedOnceAndRemoved_data()
    {
        QTest::addColumn<QByteArray>("contents");
        const QByteArray valid = sampleRecord().progressJson();
        QTest::newRow("not JSON") << QByteArray("{\"version\": 1, \"files\": [");
        QTest::newRow("not an object") << QByteArray("[1]");
        QTest::newRow("another version") << QByteArray(valid).replace("\"version\": 1", "\"version\": 2");
        QTest::newRow("unknown role") << QByteArray(valid).replace("\"aime\"", "\"poster\"");
        QTest::newRow("part without an ETag") << QByteArray(valid).replace("\"eTag\"", "\"tag\"");
        QTest::newRow("no video") << QByteArray(R"({"version": 1, "workspaceId": 42, "videoName": "Reef",
            "fileFormat": "2D", "perspective": "60", "registrationConfirmed": false, "files": []})");
        QTest::newRow("another workspace's") << QByteArray(valid).replace("\"workspaceId\": 42", "\"workspaceId\": 43");
    }

    void aRecordThatCannotBeReadIsReportedOnceAndRemoved()
    {
        QFETCH(QByteArray, contents);
        QTemporaryDir folder;
        const UploadRecordStore store(folder.path());
        QVERIFY(store.save(sampleRecord()));
        QFile file(store.filePath(42));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(contents);
        file.close();

        const auto first = store.load(42);
        if (QByteArray(QTest::currentDataTag()) != "another workspace's") {
            QVERIFY(!first);
            QVERIFY2(first.error().description().startsWith(
                             QStringLiteral("The record of the interrupted upload could not be read: ")),
                     qPrintable(first.error().description()));
        }
        QVERIFY(!QFile::exists(store.filePath(42)));
        QVERIFY(!QFile::exists(store.sessionsFilePath(42)));
        const auto second = store.load(42);
        QVERIFY(second && !second.value());
    }

    void aFileTouchedRewrittenOrReplacedHasAnotherIdentity()
    {
        QTemporaryDir folder;
        const QString path = folder.filePath(QStringLiteral("Reef.mov"));
        const auto write = [&](const QByteArray &bytes) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(bytes);
        };
        write("12345678");
        const std::optional<FileIdentity> original = FileIdentity::of(path);
        QVERIFY(original);
        QCOMPARE(original->size, 8);
        QCOMPARE(FileIdentity::of(path), original);

        const utimbuf later{1'000'000'000, 1'000'000'000};
        QCOMPARE(::utime(QFile::encodeName(path).constData(), &later), 0);
        QVERIFY(FileIdentity::of(path) != original);

        const std::optional<FileIdentity> touched = FileIdentity::of(path);
        QVERIFY(QFile::rename(path, path + QStringLiteral(".old")));
        write("12345678");
        ::utime(QFile::encodeName(path).constData(), &later);
        QCOMPARE(FileIdentity::of(path)->modified, touched->modified);
        QVERIFY(FileIdentity::of(path) != touched);
        QVERIFY(!FileIdentity::of(folder.filePath(QStringLiteral("gone.mov"))));
    }
};

QTEST_GUILESS_MAIN(UploadRecordTest)
#include "tst_uploadrecord.moc"
