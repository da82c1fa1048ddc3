#include "APIService.h"
#include "CancellationToken.h"
#include "Diagnostics.h"
#include "ServiceFixtures.h"
#include "TaskWaiter.h"
#include "TestHttpServer.h"

#include <QCoro/QCoroTask>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTest>

namespace {
// The fields of a form body as "name=value", in order.
QStringList formFields(const QByteArray &body)
{
    QStringList fields;
    const QRegularExpression field("name=\"([^\"]*)\"\r\n\r\n([^\r]*)\r\n");
    for (const QRegularExpressionMatch &match : field.globalMatch(QString::fromUtf8(body)))
        fields.append(match.captured(1) + u'=' + match.captured(2));
    return fields;
}
}

class APIServiceTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<TestHttpServer> server;
    std::unique_ptr<APIService> service;

private Q_SLOTS:
    void init()
    {
        server = std::make_unique<TestHttpServer>();
        QVERIFY(server->listen());
        service = std::make_unique<APIService>(server->url("/api").toString());
    }

    // The status is not looked at: the body decides. Unreadable answers are the session's and the
    // fault matrix's business, the paths the upload state's backend's.
    void startupInformationReadsTheBodyWhateverTheStatus()
    {
        server->enqueue(ScriptedResponse::json(500, ServiceFixtures::workspaceJson()));
        const auto workspace = waitForTask(service->pullStartupInformation("Key with spaces/+="));
        QCOMPARE(workspace.value().workspace->workspaceName, "Studio");
        QCOMPARE(server->requests().value(0).header("X-VELLUMCAST-APPKEY"), "Key with spaces/+=");
    }

    // How the session reads a stall, a dropped connection or an error page is its own suite's.
    void unreachableOrUnusableServicesFailAsSuch()
    {
        QTcpServer closedPort;
        QVERIFY(closedPort.listen(QHostAddress::LocalHost));
        const QString unreachable = QStringLiteral("http://127.0.0.1:%1/api").arg(closedPort.serverPort());
        closedPort.close();
        const auto refused = waitForTask(APIService(unreachable).pullStartupInformation("k"));
        QVERIFY(!refused && refused.error().isNetworkError() && refused.error().isTransient());
        QCOMPARE(refused.error().code(), QNetworkReply::ConnectionRefusedError);
        // Nothing is sent without a base URL to send it to.
        const APIService broken("not a url");
        QCOMPARE(waitForTask(broken.pullStartupInformation("k")).error().domain(), "APIServiceError");
        QCOMPARE(waitForTask(broken.submitLibraryData("k", "u", {}, "2D", false, 60, "n", {}, {})).error().code(), 0);
        QVERIFY(server->requests().isEmpty());
    }

    void uploadSessionRequestIsAFormWithNameAndSize()
    {
        server->enqueue(ScriptedResponse::json(403, ServiceFixtures::uploadSessionJson()));
        Diagnostics::Capture output;
        const auto session = waitForTask(
            service->requestUploadSession("key", u"Tauchgang über.mov"_qs, Q_INT64_C(6442450944)));
        QVERIFY(session);
        QCOMPARE(session.value().presignedChunkUrls.size(), 2);
        QCOMPARE(output.lines(), QStringList({"Fetching upload session", "Returned from the API call"}));

        const RecordedRequest request = server->requests().value(0);
        const QByteArray contentType = request.header("Content-Type");
        const QRegularExpression boundaryForm("^multipart/form-data; boundary=(Boundary-[0-9A-F]{8}-[0-9A-F]{4}-"
                                              "[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12})$");
        const QByteArray boundary = boundaryForm.match(QString::fromLatin1(contentType)).captured(1).toLatin1();
        QVERIFY2(!boundary.isEmpty(), contentType.constData());
        QCOMPARE(request.body, "--" + boundary + "\r\nContent-Disposition: form-data; name=\"uniqueFileName\"\r\n\r\n"
                                   "Tauchgang \xC3\xBC" "ber.mov\r\n--" + boundary
                                   + "\r\nContent-Disposition: form-data; name=\"fileSize\"\r\n\r\n6442450944\r\n--"
                                   + boundary + "--\r\n");
        QCOMPARE(request.header("Content-Length"), QByteArray::number(request.body.size()));
    }

    // Which optionals go with which format is the upload state's suite; here how they are written
    // and how the answer is read.
    void librarySubmission_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("outcome");
        QTest::addColumn<QString>("printed");
        const QByteArray entry = ServiceFixtures::libraryEntryJson();
        const QByteArray textFlag = QByteArray(entry).replace("\"is_3d\": 1", "\"is_3d\": \"true\"");
        // The format as sent, not as answered; the status is not looked at.
        QTest::newRow("entry, status 400") << 400 << entry << "entry 77 as SBS" << "";
        QTest::newRow("flag as text") << 200 << textFlag << "LibraryDataError 1" << "Error deserializing JSON: noData";
        QTest::newRow("list") << 200 << QByteArray("[]") << "LibraryDataError 0" << "Did not return the data correctly";
        QTest::newRow("not JSON") << 200 << QByteArray("oops") << "LibraryDataError 1"
                                  << "Error deserializing JSON: illegal value at offset 1";
        // The service's own reason is what the user can act on.
        QTest::newRow("refused with a reason") << 400 << QByteArray(R"({"error":"videoName must not be empty"})")
                                               << "LibraryDataError 1: videoName must not be empty"
                                               << "Error deserializing JSON: noData";
    }

    void librarySubmission()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, outcome);
        QFETCH(QString, printed);
        server->enqueue(ScriptedResponse::json(status, body));
        Diagnostics::Capture output;
        const auto entry = waitForTask(service->submitLibraryData("k", "https://b/l", QString("https://b/r"),
                                                                  "Stereoscopic Left/Right", false, -60, " ",
                                                                  QString(""), QString("https://b/f.zip")));
        QCOMPARE(entry ? QStringLiteral("entry %1 as %2").arg(entry.value().id).arg(entry.value().fileFormat3D)
                       : entry.error().domain() + u' ' + QString::number(entry.error().code())
                               + (outcome.contains(u':') ? QStringLiteral(": ") + entry.error().description() : QString()),
                 outcome);
        QCOMPARE(output.lines().join(u'\n'), printed);
        QCOMPARE(formFields(server->requests().value(0).body),
                 QStringList({"uploadedUrl=https://b/l", "uploadedUrlRight=https://b/r", "fileFormat3D=SBS",
                              "is3D=false", "perspective=-60", "videoName= ", "aimeUrl=",
                              "fcpxmlUrl=https://b/f.zip"}));
    }

    void cancellationAbortsTheRequestInFlightAndEveryLaterOne()
    {
        server->setDefaultResponse(ScriptedResponse::stall());
        CancellationToken token;
        connect(server.get(), &TestHttpServer::requestReceived, &token, &CancellationToken::cancel);
        // The stalled request would take the default 60 s to time out; cancellation ends it now.
        const auto inFlight = waitForTask(service->pullStartupInformation("k", &token));
        QVERIFY(!inFlight && inFlight.error().isCancellation());
        const auto later = waitForTask(service->requestUploadSession("k", "a", 1, &token));
        QVERIFY(!later && later.error().isCancellation());
        QCOMPARE(server->requests().size(), 1);
    }
};

QTEST_GUILESS_MAIN(APIServiceTest)
#include "tst_apiservice.moc"
