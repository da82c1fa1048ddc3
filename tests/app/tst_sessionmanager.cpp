#include "ApiKeyPreference.h"
#include "Diagnostics.h"
#include "ServiceFixtures.h"
#include "SessionManager.h"
#include "TestHttpServer.h"

#include <QCoro/QCoroTask>
#include <QFile>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTest>

using namespace std::chrono_literals;

Q_DECLARE_METATYPE(ScriptedResponse)

namespace {
ScriptedResponse workspaceNamed(const QByteArray &name)
{
    return ScriptedResponse::json(200, ServiceFixtures::workspaceJson(name));
}
}

class SessionManagerTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<TestHttpServer> server;

    APIService service() const { return APIService(server->url("/api").toString()); }

private Q_SLOTS:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void init()
    {
        QFile::remove(ApiKeyPreference::filePath());
        server = std::make_unique<TestHttpServer>();
        QVERIFY(server->listen());
    }

    // Only the service's own refusal erases the key; anything else signs out until the next try.
    void storedKeyIsErasedOnlyWhenTheServiceRefusesIt_data()
    {
        QTest::addColumn<ScriptedResponse>("answer");
        QTest::addColumn<bool>("erased");
        QTest::addColumn<bool>("readable"); // no failure printed, and the workspace cleared
        const auto json = &ScriptedResponse::json;
        const auto html = [](int status) { return ScriptedResponse::json(status, "<html>Sign in to Wi-Fi</html>"); };
        const QByteArray refusal = R"({"error":"Invalid API key"})";
        const auto row = [](const char *name, const ScriptedResponse &answer, bool erased, bool readable = false) {
            QTest::newRow(name) << answer << erased << readable;
        };
        row("200 []", json(200, "[]"), true, true);
        row("200 {}", json(200, "{}"), true);
        row("401", json(401, refusal), true);
        row("403 html", html(403), true);
        row("404 json", json(404, refusal), true);
        row("200 html", html(200), false);
        row("404 html", html(404), false);
        row("407", html(407), false);
        row("408", json(408, refusal), false);
        row("429", json(429, refusal), false);
        row("500 {}", json(500, "{}"), false);
        row("503 []", json(503, "[]"), false, true);
        row("connection dropped", ScriptedResponse::closeWithoutResponse(), false);
    }

    void storedKeyIsErasedOnlyWhenTheServiceRefusesIt()
    {
        QFETCH(ScriptedResponse, answer);
        QFETCH(bool, erased);
        QFETCH(bool, readable);
        server->enqueue(workspaceNamed("Kept"));
        ApiKeyPreference::write("durable-key");
        SessionManager session(service());
        // The stored key is in use before its workspace arrives.
        QCOMPARE(session.apiKey(), QString("durable-key"));
        QSignalSpy loaded(&session, &SessionManager::workspaceDataChanged);
        QVERIFY(loaded.wait(5000));
        QCOMPARE(session.workspaceName(), "Kept");
        QCOMPARE(server->requests().value(0).header("X-VELLUMCAST-APPKEY"), "durable-key");

        // Qt resends once on a fresh connection when a kept-alive one closes: answer both alike.
        server->setDefaultResponse(answer);
        Diagnostics::Capture output;
        QCoro::waitFor(session.fetchWorkspaceData());
        QVERIFY(!session.apiKey());
        QCOMPARE(output.lines().contains("Erorr fetching workspace data"), !readable);
        QCOMPARE(session.hasWorkspace(), !readable);
        QCOMPARE(ApiKeyPreference::read(), erased ? "" : "durable-key");
        QCOMPARE(session.signOutReason(), erased ? SessionManager::SignOutReason::KeyNotAccepted
                                                 : SessionManager::SignOutReason::ServiceUnreachable);
        if (erased) {
            // An erased key is stored empty: the next launch starts signed out.
            QVERIFY(!SessionManager(service()).hasApiKey());
            return;
        }
        QVERIFY(!session.signOutDetail().isEmpty());

        // The kept key signs back in once the service answers again.
        server->setDefaultResponse(workspaceNamed("Back"));
        session.setApiKey(session.storedApiKey());
        QCoro::waitFor(session.fetchWorkspaceData());
        QCOMPARE(session.workspaceName(), "Back");
        QCOMPARE(session.signOutReason(), SessionManager::SignOutReason::None);
    }

    // Without a stored key nothing loads; a sign-in takes the key as given, and a load still
    // under way for an older key changes nothing.
    void onlyTheLatestLoadDecides()
    {
        SessionManager session(service());
        QVERIFY(!session.hasApiKey());
        server->setHandler([](const RecordedRequest &request) {
            if (request.header("X-VELLUMCAST-APPKEY") != "old")
                return workspaceNamed("New");
            ScriptedResponse slowRejection = ScriptedResponse::json(401, "[]");
            slowRejection.delay = 300ms;
            return slowRejection;
        });
        session.setApiKey(QString("old"));
        auto olderLoad = session.fetchWorkspaceData();
        QCoro::waitFor(session.signIn(" new key\t"));
        QCoro::waitFor(olderLoad);
        QCOMPARE(server->requests().size(), 2);
        QCOMPARE(session.apiKey(), QString(" new key\t"));
        QCOMPARE(session.workspaceName(), "New");
        QCOMPARE(ApiKeyPreference::read(), " new key\t");
    }
};

QTEST_GUILESS_MAIN(SessionManagerTest)
#include "tst_sessionmanager.moc"
