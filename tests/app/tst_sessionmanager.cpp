#include "ApiKeyPreference.h"
#include "AppManager.h"
#include "Diagnostics.h"
#include "HttpClient.h"
#include "ServiceFixtures.h"
#include "SessionManager.h"
#include "TestHttpServer.h"

#include <QCoro/QCoroTask>
#include <QFile>
#include <QSettings>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTest>

using namespace std::chrono_literals;

Q_DECLARE_METATYPE(ScriptedResponse)

namespace {
QByteArray workspaceNamed(const QByteArray &name)
{
    return ServiceFixtures::workspaceJson(name);
}

void storeKey(const QString &key)
{
    QSettings(ApiKeyPreference::organizationName, ApiKeyPreference::applicationName).setValue("apiKey", key);
}
}

class SessionManagerTest : public QObject
{
    Q_OBJECT

    TestHttpServer *server = nullptr;

    APIService service() const { return APIService(server->url("/api").toString()); }

    // Starts signed in with `key` and waits for its first load to finish.
    std::unique_ptr<SessionManager> signedInSession(const QString &key)
    {
        storeKey(key);
        auto session = std::make_unique<SessionManager>(service());
        QSignalSpy loaded(session.get(), &SessionManager::workspaceDataChanged);
        if (!loaded.wait(5000))
            return nullptr;
        return session;
    }

private Q_SLOTS:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void init()
    {
        QFile::remove(ApiKeyPreference::filePath());
        server = new TestHttpServer(this);
        QVERIFY(server->listen());
        HttpClient::setTransferTimeout(60s);
    }

    void cleanup()
    {
        delete server;
        server = nullptr;
    }

    void startsSignedOutWithoutAStoredKey_data()
    {
        QTest::addColumn<bool>("store");
        QTest::newRow("absent") << false;
        QTest::newRow("empty") << true;
    }

    void startsSignedOutWithoutAStoredKey()
    {
        QFETCH(bool, store);
        if (store)
            storeKey("");
        SessionManager session(service());
        QVERIFY(!session.apiKey());
        QVERIFY(!session.hasWorkspace());
        QCoro::waitFor(session.fetchWorkspaceData());
        QVERIFY(server->requests().isEmpty());
        QCOMPARE(AppManager().editingAPIKey(), false);
    }

    void storedKeyIsInUseBeforeTheWorkspaceArrives()
    {
        server->enqueue(ScriptedResponse::json(200, workspaceNamed("Studio")));
        storeKey("stored-key");
        SessionManager session(service());
        QCOMPARE(session.apiKey(), QString("stored-key"));
        QVERIFY(!session.hasWorkspace());
        QSignalSpy loaded(&session, &SessionManager::workspaceDataChanged);
        QVERIFY(loaded.wait(5000));
        QCOMPARE(session.workspaceName(), "Studio");
        QCOMPARE(server->requests().value(0).header("X-VELLUMCAST-APPKEY"), "stored-key");
    }

    void rejectedAnswersEraseTheStoredKey_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QStringList>("printed");
        const QStringList failed = {"Error deserializing JSON: noData", "Erorr fetching workspace data"};
        QTest::newRow("array") << 200 << QByteArray("[]") << QStringList();
        QTest::newRow("rejected key") << 401 << QByteArray(R"({"error":"Invalid API key"})") << failed;
        QTest::newRow("ok status, garbage") << 200 << QByteArray("{}") << failed;
    }

    void rejectedAnswersEraseTheStoredKey()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QStringList, printed);
        server->enqueue(ScriptedResponse::json(200, workspaceNamed("First")));
        auto session = signedInSession("key");
        QVERIFY(session);

        server->enqueue(ScriptedResponse::json(status, body));
        Diagnostics::Capture output;
        QCoro::waitFor(session->fetchWorkspaceData());
        QVERIFY(!session->apiKey());
        QCOMPARE(session->storedApiKey(), "");
        QCOMPARE(ApiKeyPreference::read(), "");
        QCOMPARE(session->signOutReason(), SessionManager::SignOutReason::KeyNotAccepted);
        QCOMPARE(output.lines(), printed);
        // An answer with no workspace clears it; an unreadable one keeps the previous.
        QCOMPARE(session->hasWorkspace(), !printed.isEmpty());
    }

    void transientFailuresSignOutButKeepTheStoredKey_data()
    {
        QTest::addColumn<ScriptedResponse>("answer");
        QTest::newRow("timeout") << ScriptedResponse::stall();
        QTest::newRow("connection dropped") << ScriptedResponse::closeWithoutResponse();
        QTest::newRow("gateway page") << ScriptedResponse::json(502, "<html>Bad Gateway</html>");
        QTest::newRow("maintenance") << ScriptedResponse::json(503, "");
    }

    void transientFailuresSignOutButKeepTheStoredKey()
    {
        QFETCH(ScriptedResponse, answer);
        server->enqueue(ScriptedResponse::json(200, workspaceNamed("Kept")));
        auto session = signedInSession("durable-key");
        QVERIFY(session);

        HttpClient::setTransferTimeout(100ms);
        // Qt resends once on a fresh connection when a kept-alive one closes: refuse both.
        server->setDefaultResponse(answer);
        Diagnostics::Capture output;
        QCoro::waitFor(session->fetchWorkspaceData());
        QVERIFY(output.lines().contains("Erorr fetching workspace data"));
        QVERIFY(!session->apiKey());
        QCOMPARE(session->workspaceName(), "Kept");
        QCOMPARE(session->signOutReason(), SessionManager::SignOutReason::ServiceUnreachable);
        QVERIFY(!session->signOutDetail().isEmpty());
        QCOMPARE(ApiKeyPreference::read(), "durable-key");

        // The kept key signs back in once the service answers again.
        HttpClient::setTransferTimeout(60s);
        server->setDefaultResponse(ScriptedResponse::json(200, workspaceNamed("Back")));
        session->setApiKey(session->storedApiKey());
        QCoro::waitFor(session->fetchWorkspaceData());
        QCOMPARE(session->workspaceName(), "Back");
        QCOMPARE(session->signOutReason(), SessionManager::SignOutReason::None);
    }

    void onlyTheLatestLoadDecides()
    {
        SessionManager session(service());
        server->setHandler([](const RecordedRequest &request) {
            if (request.header("X-VELLUMCAST-APPKEY") == "old") {
                ScriptedResponse slowRejection = ScriptedResponse::json(401, "[]");
                slowRejection.delay = 300ms;
                return slowRejection;
            }
            return ScriptedResponse::json(200, workspaceNamed("New"));
        });
        session.setApiKey(QString("old"));
        auto olderLoad = session.fetchWorkspaceData();
        session.setApiKey(QString("new"));
        session.setStoredApiKey("new");
        QCoro::waitFor(session.fetchWorkspaceData());
        QCoro::waitFor(olderLoad);
        QCOMPARE(server->requests().size(), 2);
        QCOMPARE(session.apiKey(), QString("new"));
        QCOMPARE(session.workspaceName(), "New");
        QCOMPARE(ApiKeyPreference::read(), "new");
    }

    void keyIsStoredVerbatimAndPrivately()
    {
        SessionManager session(service());
        QSignalSpy stored(&session, &SessionManager::storedApiKeyChanged);
        session.setStoredApiKey("  spaced key\t");
        QCOMPARE(stored.count(), 1);
        QCOMPARE(ApiKeyPreference::read(), "  spaced key\t");
        QCOMPARE(QFile::permissions(ApiKeyPreference::filePath()) & 0x0077, 0);
        QCOMPARE(QFile::permissions(ApiKeyPreference::filePath()),
                 QFile::ReadOwner | QFile::WriteOwner | QFile::ReadUser | QFile::WriteUser);
    }
};

QTEST_GUILESS_MAIN(SessionManagerTest)
#include "tst_sessionmanager.moc"
