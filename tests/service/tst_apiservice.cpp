#include "APIService.h"
#include "CancellationToken.h"
#include "Diagnostics.h"
#include "HttpClient.h"
#include "ServiceFixtures.h"
#include "TaskWaiter.h"
#include "TestHttpServer.h"

#include <QCoro/QCoroTask>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTest>

using namespace std::chrono_literals;

namespace {
const QByteArray workspaceJson = ServiceFixtures::workspaceJson();
const QByteArray libraryJson = ServiceFixtures::libraryEntryJson();
const QByteArray sessionJson = ServiceFixtures::uploadSessionJson();

// The fields of a form body as "name=value", in order.
QStringList formFields(const QByteArray &body)
{
    QStringList fields;
    const QRegularExpression field("name=\"([^\"]*)\"\r\n\r\n([^\r]*)\r\n");
    for (auto match = field.globalMatch(QString::fromUtf8(body)); match.hasNext();) {
        const QRegularExpressionMatch next = match.next();
        fields.append(next.captured(1) + u'=' + next.captured(2));
    }
    return fields;
}
}

class APIServiceTest : public QObject
{
    Q_OBJECT

    TestHttpServer *server = nullptr;
    std::unique_ptr<APIService> service;

    QString baseUrl() const { return server->url("/api").toString(); }

private Q_SLOTS:
    void init()
    {
        server = new TestHttpServer(this);
        QVERIFY(server->listen());
        service = std::make_unique<APIService>(baseUrl());
        HttpClient::setTransferTimeout(60s);
    }

    void cleanup()
    {
        delete server;
        server = nullptr;
    }

    void startupInformationOutcomes_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("workspace");
        QTest::addColumn<QString>("printed"); // empty when it succeeds
        QTest::newRow("status not looked at") << 500 << workspaceJson << "Studio" << QString();
        QTest::newRow("top-level array") << 200 << QByteArray("[]") << QString() << QString();
        QTest::newRow("rejected key") << 401 << QByteArray(R"({"error":"Invalid API key"})") << QString()
                                      << "Error deserializing JSON: noData";
        QTest::newRow("html") << 502 << QByteArray("<html>Bad gateway</html>") << QString()
                              << "Error deserializing JSON: ";
        QTest::newRow("scalar") << 200 << QByteArray("42") << QString() << "Error deserializing JSON: ";
        // Abandoned unread.
        QTest::newRow("oversized") << 200 << QByteArray(APIService::maxAnswerBytes + 1, ' ') << QString()
                                   << "Error deserializing JSON: ";
    }

    void startupInformationOutcomes()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, workspace);
        QFETCH(QString, printed);
        server->enqueue(ScriptedResponse::json(status, body));
        Diagnostics::Capture output;
        const auto result = waitForTask(service->pullStartupInformation("Key with spaces/+="));
        const RecordedRequest request = server->requests().value(0);
        QCOMPARE(request.method, "GET");
        QCOMPARE(request.target, "/api/upload-app/pull-startup-information");
        QCOMPARE(request.header("X-VELLUMCAST-APPKEY"), "Key with spaces/+=");
        QVERIFY(request.body.isEmpty());
        QCOMPARE(result.ok(), printed.isEmpty());
        if (result) {
            QCOMPARE(result.value().workspace ? result.value().workspace->workspaceName : QString(), workspace);
            QCOMPARE(output.lines(), QStringList());
            return;
        }
        QCOMPARE(result.error().domain(), "APIServiceError");
        QCOMPARE(result.error().code(), 0); // invalidURL
        QCOMPARE(result.error().httpStatus(), status);
        QCOMPARE(output.lines().size(), 1);
        QVERIFY2(output.lines().first().startsWith(printed), qPrintable(output.lines().first()));
    }

    void transportFailuresPassThroughUnchanged()
    {
        QTcpServer closedPort;
        QVERIFY(closedPort.listen(QHostAddress::LocalHost));
        const QString unreachable = QStringLiteral("http://127.0.0.1:%1/api").arg(closedPort.serverPort());
        closedPort.close();
        Diagnostics::Capture output;
        const auto refused = waitForTask(APIService(unreachable).pullStartupInformation("k"));
        QVERIFY(!refused);
        QVERIFY(refused.error().isNetworkError());
        QVERIFY(refused.error().isTransient());
        QCOMPARE(refused.error().code(), QNetworkReply::ConnectionRefusedError);

        HttpClient::setTransferTimeout(100ms);
        server->enqueue(ScriptedResponse::stall());
        const auto stalled = waitForTask(service->requestUploadSession("k", "a.mov", 1));
        QVERIFY(!stalled);
        QCOMPARE(stalled.error().code(), QNetworkReply::TimeoutError);
        QVERIFY(stalled.error().isTransient());
        QCOMPARE(output.lines(), QStringList({"Fetching upload session"}));
    }

    void invalidBaseUrlSendsNothing()
    {
        const APIService broken("not a url");
        QCOMPARE(waitForTask(broken.pullStartupInformation("k")).error().domain(), "APIServiceError");
        QCOMPARE(waitForTask(broken.submitLibraryData("k", "u", {}, "2D", false, 60, "n", {}, {}))
                     .error().code(), 0);
        QVERIFY(server->requests().isEmpty());
    }

    void uploadSessionRequestIsAFormWithNameAndSize()
    {
        server->enqueue(ScriptedResponse::json(403, sessionJson));
        server->enqueue(ScriptedResponse::json(200, R"({"uploadId":"u"})"));
        Diagnostics::Capture output;
        const auto session = waitForTask(
            service->requestUploadSession("key", u"Tauchgang über.mov"_qs, Q_INT64_C(6442450944)));
        QVERIFY(session);
        QCOMPARE(session.value().presignedChunkUrls.size(), 2);
        const auto undecodable = waitForTask(service->requestUploadSession("key", "b.mov", 0));
        QVERIFY(!undecodable);
        QVERIFY(undecodable.error().description().contains("key"));
        QCOMPARE(output.lines(), QStringList({"Fetching upload session", "Returned from the API call",
                                              "Fetching upload session", "Returned from the API call"}));

        const auto requests = server->requests();
        QCOMPARE(requests.size(), 2);
        const RecordedRequest &first = requests[0];
        QCOMPARE(first.method, "POST");
        QCOMPARE(first.target, "/api/upload-app/direct-file-upload-sas-2");
        QCOMPARE(first.header("X-VELLUMCAST-APPKEY"), "key");
        const QByteArray contentType = first.header("Content-Type");
        const QRegularExpression boundaryForm("^multipart/form-data; boundary=(Boundary-[0-9A-F]{8}-[0-9A-F]{4}-"
                                              "[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12})$");
        const QByteArray boundary = boundaryForm.match(QString::fromLatin1(contentType)).captured(1).toLatin1();
        QVERIFY2(!boundary.isEmpty(), contentType.constData());
        QCOMPARE(first.body, "--" + boundary + "\r\nContent-Disposition: form-data; name=\"uniqueFileName\"\r\n\r\n"
                                 "Tauchgang \xC3\xBC" "ber.mov\r\n--" + boundary
                                 + "\r\nContent-Disposition: form-data; name=\"fileSize\"\r\n\r\n6442450944\r\n--"
                                 + boundary + "--\r\n");
        QCOMPARE(first.header("Content-Length"), QByteArray::number(first.body.size()));
        QVERIFY(requests[1].header("Content-Type") != contentType);
        QVERIFY(requests[1].body.contains("\r\n\r\n0\r\n"));
    }

    void librarySubmissionFieldsFollowTheOptionals()
    {
        server->setDefaultResponse(ScriptedResponse::json(400, libraryJson));
        const auto minimal = waitForTask(
            service->submitLibraryData("k", "https://store.test/l", {}, "Stereoscopic Left/Right", true, 180, " ", {}, {}));
        QVERIFY(minimal);
        QCOMPARE(minimal.value().fileFormat3D, "SBS");
        QCOMPARE(minimal.value().id, 77);
        const auto full = waitForTask(service->submitLibraryData(
            "k", "https://b/l", QString("https://b/r"), "Separate", false, -60, "Dive",
            QString(""), QString("https://b/f.zip")));
        QVERIFY(full);
        QCOMPARE(full.value().fileFormat3D, "Separate");

        const auto requests = server->requests();
        QCOMPARE(requests[0].target, "/api/upload-app/submit-library-data");
        QCOMPARE(formFields(requests[0].body),
                 QStringList({"uploadedUrl=https://store.test/l", "fileFormat3D=SBS", "is3D=true", "perspective=180",
                              "videoName= "}));
        QCOMPARE(formFields(requests[1].body),
                 QStringList({"uploadedUrl=https://b/l", "uploadedUrlRight=https://b/r", "fileFormat3D=Separate",
                              "is3D=false", "perspective=-60", "videoName=Dive", "aimeUrl=",
                              "fcpxmlUrl=https://b/f.zip"}));
    }

    void librarySubmissionFailures_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("printed");
        QByteArray textFlag = libraryJson;
        textFlag.replace("\"is_3d\": 1", "\"is_3d\": \"true\"");
        QTest::newRow("flag as text") << textFlag << 1 << "Error deserializing JSON: noData";
        QTest::newRow("array") << QByteArray("[]") << 0 << "Did not return the data correctly";
        QTest::newRow("not json") << QByteArray("oops") << 1 << "Error deserializing JSON: ";
    }

    void librarySubmissionFailures()
    {
        QFETCH(QByteArray, body);
        QFETCH(int, code);
        QFETCH(QString, printed);
        server->enqueue(ScriptedResponse::json(200, body));
        Diagnostics::Capture output;
        const auto result = waitForTask(service->submitLibraryData("k", "u", {}, "2D", false, 60, "n", {}, {}));
        QVERIFY(!result);
        QCOMPARE(result.error().domain(), "LibraryDataError");
        QCOMPARE(result.error().code(), code);
        QCOMPARE(output.lines().size(), 1);
        QVERIFY(output.lines().first().startsWith(printed));
    }

    void cancellationAbortsTheRequestInFlightAndEveryLaterOne()
    {
        server->setDefaultResponse(ScriptedResponse::stall());
        CancellationToken token;
        connect(server, &TestHttpServer::requestReceived, &token, &CancellationToken::cancel);
        // The stalled request would take the default 60 s to time out; cancellation ends it now.
        const auto inFlight = waitForTask(service->pullStartupInformation("k", &token));
        QVERIFY(!inFlight);
        QVERIFY(inFlight.error().isCancellation());
        QCOMPARE(server->requests().size(), 1);

        const auto later = waitForTask(service->requestUploadSession("k", "a", 1, &token));
        QVERIFY(later.error().isCancellation());
        QCOMPARE(server->requests().size(), 1);
    }
};

QTEST_GUILESS_MAIN(APIServiceTest)
#include "tst_apiservice.moc"
