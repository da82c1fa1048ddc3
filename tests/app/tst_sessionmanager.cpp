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

    // Only the service's own refusal erases the key; anything else signs out until the next try.
    void storedKeyIsErasedOnlyWhenTheServiceRefusesIt_data()
    {
        QTest::addColumn<ScriptedResponse>("answer");
        QTest::addColumn<bool>("erased");
        QTest::addColumn<bool>("readable"); // no failure printed, and the workspace cleared
        const auto html = [](int status) { return ScriptedResponse::json(status, "<html>Sign in to Wi-Fi</html>"); };
        const QByteArray refusal = R"({"error":"Invalid API key"})";
        QTest::newRow("200 []") << ScriptedResponse::json(200, "[]") << true << true;
        QTest::newRow("200 {}") << ScriptedResponse::json(200, "{}") << true << false;
        QTest::newRow("401") << ScriptedResponse::json(401, refusal) << true << false;
        QTest::newRow("403 html") << html(403) << true << false;
        QTest::newRow("404 json") << ScriptedResponse::json(404, refusal) << true << false;
        QTest::newRow("200 html") << html(200) << false << false;
        QTest::newRow("200 empty") << ScriptedResponse::json(200, "") << false << false;
        QTest::newRow("404 html") << html(404) << false << false;
        QTest::newRow("407") << html(407) << false << false;
        QTest::newRow("408") << ScriptedResponse::json(408, refusal) << false << false;
        QTest::newRow("429") << ScriptedResponse::json(429, refusal) << false << false;
        QTest::newRow("500") << ScriptedResponse::json(500, "{}") << false << false;
        QTest::newRow("503 []") << ScriptedResponse::json(503, "[]") << false << true;
        QTest::newRow("timeout") << ScriptedResponse::stall() << false << false;
        QTest::newRow("connection dropped") << ScriptedResponse::closeWithoutResponse() << false << false;
    }

    void storedKeyIsErasedOnlyWhenTheServiceRefusesIt()
    {
        QFETCH(ScriptedResponse, answer);
        QFETCH(bool, erased);
        QFETCH(bool, readable);
        server->enqueue(ScriptedResponse::json(200, workspaceNamed("Kept")));
        auto session = signedInSession("durable-key");
        QVERIFY(session);

        if (QTest::currentDataTag() == QByteArray("timeout"))
            HttpClient::setTransferTimeout(100ms);
        // Qt resends once on a fresh connection when a kept-alive one closes: answer both alike.
        server->setDefaultResponse(answer);
        Diagnostics::Capture output;
        QCoro::waitFor(session->fetchWorkspaceData());
        QVERIFY(!session->apiKey());
        QCOMPARE(output.lines().contains("Erorr fetching workspace data"), !readable);
        QCOMPARE(session->hasWorkspace(), !readable);
        QCOMPARE(ApiKeyPreference::read(), erased ? "" : "durable-key");
        QCOMPARE(session->signOutReason(), erased ? SessionManager::SignOutReason::KeyNotAccepted
                                                  : SessionManager::SignOutReason::ServiceUnreachable);
        if (erased)
            return;
        QVERIFY(!session->signOutDetail().isEmpty());

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
