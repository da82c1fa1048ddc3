#include "BackblazePayload.h"
#include "FileFormat.h"
#include "LibraryEntry.h"
#include "ServiceFixtures.h"
#include "Workspace.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTest>

namespace {
const QString validSession = QString::fromUtf8(ServiceFixtures::uploadSessionJson());

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
        // drm_enabled is 2, which is not 1; encoding_enabled is JSON true, which reads as 1.
        QCOMPARE((QList<bool>{workspace->drmEnabled, workspace->encodingEnabled, workspace->has8k,
                              workspace->streamingEnabled}), (QList<bool>{false, true, true, false}));
        QCOMPARE(workspace->userIds, QStringList({"u1", "u2"}));
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
            QVERIFY2(!Workspace::fromJson(missing) && !Workspace::fromJson(workspaceWith(key, QJsonValue::Null)), key);
        }
        for (const auto &[key, value] : QList<QPair<QString, QJsonValue>>{
                 {"id", "42"}, {"id", 4.5}, {"id", 1e300}, {"seats", QJsonArray()}, {"user_ids", QJsonArray({7})},
                 {"user_ids", "u1"}, {"workspace_name", 3}, {"created_at", QJsonObject()}, {"drm_enabled", "1"}})
            QVERIFY2(!Workspace::fromJson(workspaceWith(key, value)), qPrintable(key));
    }

    void libraryEntryReadsSixKeysAndKeepsTheSentFormat()
    {
        QJsonObject answer = QJsonDocument::fromJson(ServiceFixtures::libraryEntryJson()).object();
        QCOMPARE(*LibraryEntry::fromJson(answer, "SBS"),
                 (LibraryEntry{77, "https://store.test/l", "Dive", 3, 180, "SBS", true}));
        for (const char *key : {"id", "video_url_left", "video_name", "workspace_id", "perspective", "is_3d"}) {
            QJsonObject missing = answer;
            missing.remove(key);
            QVERIFY2(!LibraryEntry::fromJson(missing, "SBS"), key);
        }
        answer.insert("is_3d", false);
        QCOMPARE(LibraryEntry::fromJson(answer, "2D")->is3D, false);
        for (const QJsonValue &is3D : QList<QJsonValue>{2, QJsonValue::Null}) {
            answer.insert("is_3d", is3D);
            QVERIFY(!LibraryEntry::fromJson(answer, "SBS"));
        }
    }

    // A sound session is read in every upload of the other suites; an empty list of chunks is not.
    void uploadSessionWithoutChunksDecodes()
    {
        QByteArray noChunks = validSession.toUtf8();
        noChunks.replace(noChunks.indexOf('['), noChunks.indexOf(']') - noChunks.indexOf('[') + 1, "[]");
        QVERIFY(BackblazePayload::decode(noChunks).value().presignedChunkUrls.isEmpty());
    }

    void uploadSessionFailuresNameTheOffendingKey_data()
    {
        QTest::addColumn<QString>("replaced");
        QTest::addColumn<QString>("by");
        QTest::addColumn<QString>("mentioned");
        // What is no JSON at all is the fault matrix's.
        QTest::newRow("snake case") << "\"completeUploadUrl\"" << "\"complete_upload_url\"" << "completeUploadUrl";
        QTest::newRow("chunkSize as text") << "\"chunkSize\": 10" << "\"chunkSize\": \"10\"" << "chunkSize";
        QTest::newRow("chunk id 2.5") << "\"chunkId\": 2" << "\"chunkId\": 2.5" << "presignedChunkUrls[1].chunkId";
        QTest::newRow("null url") << "\"https://store.test/1\"" << "null" << "presignedChunkUrls[0].url";
        QTest::newRow("array") << validSession << "[]" << "not a JSON object";
    }

    void uploadSessionFailuresNameTheOffendingKey()
    {
        QFETCH(QString, replaced);
        QFETCH(QString, by);
        QFETCH(QString, mentioned);
        const auto payload = BackblazePayload::decode(validSession.toUtf8().replace(replaced.toUtf8(), by.toUtf8()));
        QVERIFY(!payload);
        QVERIFY2(payload.error().description().contains(mentioned), qPrintable(payload.error().description()));
    }

    void formatLabelsMapExactlyAndCaseSensitively()
    {
        QCOMPARE(FileFormat::fileFormatOptions(),
                 QStringList({"2D", "Stereoscopic Left/Right", "Stereoscopic Top/Bottom", "Spatial (MV-HEVC)",
                              "Apple Immersive Video (.aivu or ProRes)", "Separate"}));
        QStringList values;
        for (const QString label : {"2D", "Stereoscopic Left/Right", "Stereoscopic Top/Bottom", "Spatial (MV-HEVC)",
                                    "Apple Immersive Video (.aivu or ProRes)", "Separate", "3D", "2d", ""})
            values.append(FileFormat::fileFormat3DValue(label));
        QCOMPARE(values, QStringList({"2D", "SBS", "TB", "Spatial", "AIV", "Separate", "SBS", "SBS", "SBS"}));
    }
};

QTEST_GUILESS_MAIN(ServiceRecordsTest)
#include "tst_servicerecords.moc"
