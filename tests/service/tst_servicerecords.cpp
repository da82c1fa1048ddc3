#include "BackblazePayload.h"
#include "FileFormat.h"
#include "LibraryEntry.h"
#include "ServiceFixtures.h"
#include "Workspace.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>

namespace {
const QByteArray validSession = ServiceFixtures::uploadSessionJson();

QJsonObject workspaceWith(const QString &key, const QJsonValue &value)
{
    QJsonObject workspace = ServiceFixtures::workspaceObject();
    workspace.insert(key, value);
    return workspace;
}
}

class ServiceRecordsTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void workspaceReadsEveryFieldWithFlagsAsIntegers()
    {
        const auto workspace = Workspace::fromJson(ServiceFixtures::workspaceObject());
        QVERIFY(workspace);
        QCOMPARE(workspace->billingDate, 15);
        QCOMPARE(workspace->createdAt, "2024-02-30 garbage");
        QCOMPARE(workspace->drmEnabled, false); // 2 is not 1
        QCOMPARE(workspace->encodingEnabled, true); // JSON true reads as 1
        QCOMPARE(workspace->has8k, true);
        QCOMPARE(workspace->streamingEnabled, false);
        QCOMPARE(workspace->userIds, QStringList({"u1", "u2"}));
        QCOMPARE(workspace->whitelabelKey, QString(""));
        QCOMPARE(workspace->workspaceName, "Studio Nord");
        QCOMPARE(Workspace::fromJson(workspaceWith("user_ids", QJsonArray()))->userIds, QStringList());
        QCOMPARE(Workspace::fromJson(workspaceWith("id", 7.0))->id, 7);
        const QJsonValue beyondDoubles = QJsonDocument::fromJson("{\"id\": 9007199254740993}").object().value("id");
        QCOMPARE(Workspace::fromJson(workspaceWith("id", beyondDoubles))->id, Q_INT64_C(9007199254740993));
    }

    void workspaceRejectsAnyMissingNullOrMistypedKey()
    {
        for (const char *key : {"billing_date", "container_name", "created_at", "current_stream_hours", "drm_enabled",
                                "encoding_enabled", "encoding_seconds", "has_8k", "id", "max_stream_hours", "seats",
                                "stream_container_name", "streaming_enabled", "user_ids", "whitelabel_key",
                                "workspace_name", "workspace_owner_id"}) {
            QJsonObject missing = ServiceFixtures::workspaceObject();
            missing.remove(key);
            QVERIFY2(!Workspace::fromJson(missing), key);
            QVERIFY2(!Workspace::fromJson(workspaceWith(key, QJsonValue::Null)), key);
        }
        const QList<QPair<QString, QJsonValue>> mistyped = {
            {"id", "42"}, {"id", 4.5}, {"id", 1e300}, {"seats", QJsonArray()},
            {"user_ids", QJsonArray({7})}, {"user_ids", "u1"}, {"workspace_name", 3},
            {"created_at", QJsonObject()}, {"drm_enabled", "1"}};
        for (const auto &[key, value] : mistyped)
            QVERIFY2(!Workspace::fromJson(workspaceWith(key, value)), qPrintable(key));
    }

    void libraryEntryReadsSixKeysAndKeepsTheSentFormat()
    {
        const QJsonObject answer = QJsonDocument::fromJson(ServiceFixtures::libraryEntryJson()).object();
        QCOMPARE(*LibraryEntry::fromJson(answer, "SBS"),
                 (LibraryEntry{77, "https://store.test/l", "Dive", 3, 180, "SBS", true}));
        QJsonObject changed = answer;
        changed.insert("is_3d", false);
        QCOMPARE(LibraryEntry::fromJson(changed, "2D")->is3D, false);
        for (const QJsonValue &is3D : QList<QJsonValue>{2, QJsonValue::Null}) {
            changed.insert("is_3d", is3D);
            QVERIFY(!LibraryEntry::fromJson(changed, "SBS"));
        }
        for (const char *key : {"id", "video_url_left", "video_name", "workspace_id", "perspective", "is_3d"}) {
            QJsonObject missing = answer;
            missing.remove(key);
            QVERIFY2(!LibraryEntry::fromJson(missing, "SBS"), key);
        }
    }

    void uploadSessionDecodesCamelCaseKeysOnly()
    {
        const auto payload = BackblazePayload::decode(validSession);
        QVERIFY(payload);
        QCOMPARE(payload.value().chunkSize, 10);
        QCOMPARE(payload.value().presignedChunkUrls,
                 (QList<PresignedChunkUrl>{{"https://store.test/1", 1}, {"https://store.test/2", 2}}));
        QByteArray noChunks = validSession;
        noChunks.replace(noChunks.indexOf('['), noChunks.indexOf(']') - noChunks.indexOf('[') + 1, "[]");
        QVERIFY(BackblazePayload::decode(noChunks).value().presignedChunkUrls.isEmpty());
    }

    void uploadSessionFailuresNameTheOffendingKey_data()
    {
        QTest::addColumn<QByteArray>("replaced");
        QTest::addColumn<QByteArray>("by");
        QTest::addColumn<QString>("mentioned");
        QTest::newRow("missing completeUploadUrl") << QByteArray("\"completeUploadUrl\"")
                                                   << QByteArray("\"complete_upload_url\"") << "completeUploadUrl";
        QTest::newRow("chunkSize as text") << QByteArray("\"chunkSize\": 10") << QByteArray("\"chunkSize\": \"10\"")
                                           << "chunkSize";
        QTest::newRow("chunkSize as boolean") << QByteArray("\"chunkSize\": 10") << QByteArray("\"chunkSize\": true")
                                              << "chunkSize";
        QTest::newRow("fractional chunk id") << QByteArray("\"chunkId\": 2") << QByteArray("\"chunkId\": 2.5")
                                             << "presignedChunkUrls[1].chunkId";
        QTest::newRow("null url") << QByteArray("\"url\": \"https://store.test/1\"") << QByteArray("\"url\": null")
                                  << "presignedChunkUrls[0].url";
        QTest::newRow("not JSON") << validSession << QByteArray("<html>502</html>") << "not valid JSON";
        QTest::newRow("empty") << validSession << QByteArray() << "not valid JSON";
        QTest::newRow("array") << validSession << QByteArray("[]") << "not a JSON object";
    }

    void uploadSessionFailuresNameTheOffendingKey()
    {
        QFETCH(QByteArray, replaced);
        QFETCH(QByteArray, by);
        QFETCH(QString, mentioned);
        const auto payload = BackblazePayload::decode(QByteArray(validSession).replace(replaced, by));
        QVERIFY(!payload);
        QVERIFY2(payload.error().description().contains(mentioned), qPrintable(payload.error().description()));
    }

    void formatLabelsMapExactlyAndCaseSensitively()
    {
        QCOMPARE(FileFormat::fileFormatOptions(),
                 QStringList({"2D", "Stereoscopic Left/Right", "Stereoscopic Top/Bottom", "Spatial (MV-HEVC)",
                              "Apple Immersive Video (.aivu or ProRes)", "Separate"}));
        const QList<QPair<QString, QString>> expected = {
            {"2D", "2D"}, {"Stereoscopic Left/Right", "SBS"}, {"Stereoscopic Top/Bottom", "TB"},
            {"Spatial (MV-HEVC)", "Spatial"}, {"Separate", "Separate"},
            {"Apple Immersive Video (.aivu or ProRes)", "AIV"}, {"3D", "SBS"}, {"2d", "SBS"}, {"", "SBS"}};
        for (const auto &[label, value] : expected)
            QCOMPARE(FileFormat::fileFormat3DValue(label), value);
    }
};

QTEST_GUILESS_MAIN(ServiceRecordsTest)
#include "tst_servicerecords.moc"
