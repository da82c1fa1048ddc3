#include "BackblazePayload.h"
#include "FileFormat.h"
#include "FormEncoding.h"
#include "LibraryEntry.h"
#include "ServiceFixtures.h"
#include "Workspace.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QTest>

namespace {
QJsonObject completeWorkspace()
{
    return ServiceFixtures::workspaceObject();
}

const QStringList workspaceKeys = {
    "billing_date", "container_name", "created_at", "current_stream_hours", "drm_enabled",
    "encoding_enabled", "encoding_seconds", "has_8k", "id", "max_stream_hours", "seats",
    "stream_container_name", "streaming_enabled", "user_ids", "whitelabel_key",
    "workspace_name", "workspace_owner_id"};

const QByteArray validSession = ServiceFixtures::uploadSessionJson();
}

class ServiceRecordsTest : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void workspaceReadsEveryFieldWithFlagsAsIntegers()
    {
        const auto workspace = Workspace::fromJson(completeWorkspace());
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
    }

    void workspaceRejectsAnyMissingNullOrMistypedKey()
    {
        for (const QString &key : workspaceKeys) {
            QJsonObject missing = completeWorkspace();
            missing.remove(key);
            QVERIFY2(!Workspace::fromJson(missing), qPrintable("missing " + key));
            QJsonObject null = completeWorkspace();
            null.insert(key, QJsonValue::Null);
            QVERIFY2(!Workspace::fromJson(null), qPrintable("null " + key));
        }
        const QList<QPair<QString, QJsonValue>> mistyped = {
            {"id", "42"}, {"id", 4.5}, {"id", 1e300}, {"seats", QJsonArray()},
            {"user_ids", QJsonArray({7})}, {"user_ids", "u1"}, {"workspace_name", 3},
            {"created_at", QJsonObject()}, {"drm_enabled", "1"}};
        for (const auto &[key, value] : mistyped) {
            QJsonObject object = completeWorkspace();
            object.insert(key, value);
            QVERIFY2(!Workspace::fromJson(object), qPrintable("mistyped " + key));
        }
        QJsonObject empty = completeWorkspace();
        empty.insert("user_ids", QJsonArray());
        QCOMPARE(Workspace::fromJson(empty)->userIds, QStringList());
        QJsonObject whole = completeWorkspace();
        whole.insert("id", 7.0);
        QCOMPARE(Workspace::fromJson(whole)->id, 7);
    }

    void workspaceKeepsSixtyFourBitIntegersExact()
    {
        QJsonObject object = QJsonDocument::fromJson("{\"id\": 9007199254740993}").object();
        QJsonObject workspace = completeWorkspace();
        workspace.insert("id", object.value("id"));
        QCOMPARE(Workspace::fromJson(workspace)->id, Q_INT64_C(9007199254740993));
    }

    void libraryEntryReadsSixKeysAndKeepsTheSentFormat()
    {
        const QJsonObject answer = QJsonDocument::fromJson(ServiceFixtures::libraryEntryJson()).object();
        const auto entry = LibraryEntry::fromJson(answer, "SBS");
        QVERIFY(entry);
        QCOMPARE(*entry, (LibraryEntry{77, "https://store.test/l", "Dive", 3, 180, "SBS", true}));

        for (const QJsonValue &is3D : QList<QJsonValue>{"true", 2, QJsonValue::Null}) {
            QJsonObject wrong = answer;
            wrong.insert("is_3d", is3D);
            QVERIFY(!LibraryEntry::fromJson(wrong, "SBS"));
        }
        QJsonObject falseFlag = answer;
        falseFlag.insert("is_3d", false);
        QCOMPARE(LibraryEntry::fromJson(falseFlag, "2D")->is3D, false);
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
        const auto empty = BackblazePayload::decode(noChunks);
        QVERIFY(empty);
        QVERIFY(empty.value().presignedChunkUrls.isEmpty());
    }

    void uploadSessionFailuresNameTheOffendingKey_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QString>("mentioned");
        QByteArray noCompletion = validSession;
        noCompletion.replace("\"completeUploadUrl\"", "\"complete_upload_url\"");
        QTest::newRow("missing completeUploadUrl") << noCompletion << "completeUploadUrl";
        QByteArray stringSize = validSession;
        stringSize.replace("\"chunkSize\": 10", "\"chunkSize\": \"10\"");
        QTest::newRow("chunkSize as text") << stringSize << "chunkSize";
        QByteArray boolSize = validSession;
        boolSize.replace("\"chunkSize\": 10", "\"chunkSize\": true");
        QTest::newRow("chunkSize as boolean") << boolSize << "chunkSize";
        QByteArray chunkId = validSession;
        chunkId.replace("\"chunkId\": 2", "\"chunkId\": 2.5");
        QTest::newRow("fractional chunk id") << chunkId << "presignedChunkUrls[1].chunkId";
        QByteArray nullUrl = validSession;
        nullUrl.replace("\"url\": \"https://store.test/1\"", "\"url\": null");
        QTest::newRow("null url") << nullUrl << "presignedChunkUrls[0].url";
        QTest::newRow("not JSON") << QByteArray("<html>502</html>") << "not valid JSON";
        QTest::newRow("empty") << QByteArray() << "not valid JSON";
        QTest::newRow("array") << QByteArray("[]") << "not a JSON object";
    }

    void uploadSessionFailuresNameTheOffendingKey()
    {
        QFETCH(QByteArray, json);
        QFETCH(QString, mentioned);
        const auto payload = BackblazePayload::decode(json);
        QVERIFY(!payload);
        QVERIFY2(payload.error().description().contains(mentioned),
                 qPrintable(payload.error().description()));
    }

    void formatLabelsMapExactlyAndCaseSensitively()
    {
        const QList<QPair<QString, QString>> expected = {
            {"2D", "2D"}, {"Stereoscopic Left/Right", "SBS"}, {"Stereoscopic Top/Bottom", "TB"},
            {"Spatial (MV-HEVC)", "Spatial"}, {"Separate", "Separate"},
            {"Apple Immersive Video (.aivu or ProRes)", "AIV"}, {"3D", "SBS"}, {"2d", "SBS"}, {"", "SBS"}};
        for (const auto &[label, value] : expected)
            QCOMPARE(FileFormat::fileFormat3DValue(label), value);
        QCOMPARE(FileFormat::fileFormatOptions().size(), 6);
        QCOMPARE(FileFormat::fileFormatOptions().first(), "2D");
        QCOMPARE(FileFormat::fileFormatOptions().last(), "Separate");
    }

    void formBodyIsByteExact()
    {
        const QString boundary = FormEncoding::makeFormBoundary();
        QVERIFY(QRegularExpression("^Boundary-[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}$")
                    .match(boundary).hasMatch());
        QVERIFY(FormEncoding::makeFormBoundary() != boundary);
        QCOMPARE(FormEncoding::contentType("B"), "multipart/form-data; boundary=B");

        QByteArray body;
        FormEncoding::appendFormField("uniqueFileName", u"Tauchgang über \"Riff\".mov"_qs, "B", body);
        FormEncoding::appendFormField("fileSize", QString::number(Q_INT64_C(5000000000)), "B", body);
        FormEncoding::appendFormField("empty", "", "B", body);
        FormEncoding::appendClosingLine("B", body);
        QCOMPARE(body, QByteArray("--B\r\nContent-Disposition: form-data; name=\"uniqueFileName\"\r\n\r\n"
                                  "Tauchgang \xC3\xBC" "ber \"Riff\".mov\r\n"
                                  "--B\r\nContent-Disposition: form-data; name=\"fileSize\"\r\n\r\n5000000000\r\n"
                                  "--B\r\nContent-Disposition: form-data; name=\"empty\"\r\n\r\n\r\n"
                                  "--B--\r\n"));
    }
};

QTEST_GUILESS_MAIN(ServiceRecordsTest)
#include "tst_servicerecords.moc"
