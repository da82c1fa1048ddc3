#include "TestHttpServer.h"

#include <QCoro/QCoroNetworkReply>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTest>

using namespace std::chrono_literals;

Q_DECLARE_METATYPE(ScriptedResponse)

namespace {

// Only there so that a broken fake fails the test instead of hanging it.
constexpr auto fallbackTimeout = 10s;

struct Outcome
{
    QNetworkReply::NetworkError error = QNetworkReply::NoError;
    int status = 0;
    QByteArray body;
    QByteArray etag;
};

QNetworkRequest requestFor(const QUrl &url, std::chrono::milliseconds transferTimeout = fallbackTimeout)
{
    QNetworkRequest request(url);
    request.setTransferTimeout(int(transferTimeout.count()));
    request.setHeader(QNetworkRequest::ContentTypeHeader, "application/octet-stream");
    return request;
}

QCoro::Task<Outcome> finished(QNetworkReply *reply)
{
    co_await reply;
    reply->deleteLater();
    co_return Outcome{reply->error(), reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(),
                      reply->isOpen() ? reply->readAll() : QByteArray(), reply->rawHeader("ETag")};
}

Outcome wait(QNetworkReply *reply)
{
    return QCoro::waitFor(finished(reply));
}

QByteArray patterned(qsizetype size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        bytes[i] = char(i * 31 + i / 4093);
    return bytes;
}

} // namespace

class TestHttpServerTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void sequentialRequestsShareOneConnectionAndFollowTheScript();
    void handlerGetsTheHeadAndOverridesTheQueue();
    void putBodyIsRecordedExactly();
    void chunkedAndPipelinedRequestsKeepHeadersAsSent();
    void behaviorsReachTheClientAsNetworkErrors_data();
    void behaviorsReachTheClientAsNetworkErrors();

private:
    std::unique_ptr<QNetworkAccessManager> m_network;
    std::unique_ptr<TestHttpServer> m_server;
};

void TestHttpServerTest::init()
{
    m_network = std::make_unique<QNetworkAccessManager>();
    m_server = std::make_unique<TestHttpServer>();
    QVERIFY(m_server->listen());
}

void TestHttpServerTest::sequentialRequestsShareOneConnectionAndFollowTheScript()
{
    ScriptedResponse delayed = ScriptedResponse::json(201, R"({"id":"u1"})");
    delayed.delay = 20ms;
    m_server->enqueue(delayed);
    m_server->enqueue(ScriptedResponse::withETag(R"("etag-2")"));
    m_server->setDefaultResponse(ScriptedResponse::json(404, "{}"));

    const Outcome first = wait(m_network->get(requestFor(m_server->url("/uploads?kind=video&name=a%20b"))));
    const Outcome second = wait(m_network->put(requestFor(m_server->url("/parts/2")), QByteArray("part two")));
    const Outcome third = wait(m_network->get(requestFor(m_server->url("/missing"))));

    QCOMPARE(first.status, 201);
    QCOMPARE(first.body, R"({"id":"u1"})");
    QCOMPARE(second.status, 200);
    QCOMPARE(second.etag, R"("etag-2")");
    QCOMPARE(third.status, 404);
    QCOMPARE(m_server->connectionCount(), 1);
    const QList<RecordedRequest> requests = m_server->requests();
    QCOMPARE(requests.size(), 3);
    for (const RecordedRequest &request : requests)
        QCOMPARE(request.connectionIndex, 0);
    QCOMPARE(requests[0].target, "/uploads?kind=video&name=a%20b");
    QCOMPARE(requests[0].path(), "/uploads");
    QCOMPARE(requests[0].query().queryItemValue("name", QUrl::FullyDecoded), "a b");
    QCOMPARE(requests[1].method, "PUT");
    QCOMPARE(requests[1].body, "part two");

    m_server->clearRequests();
    QVERIFY(m_server->requests().isEmpty());
}

void TestHttpServerTest::handlerGetsTheHeadAndOverridesTheQueue()
{
    m_server->enqueue(ScriptedResponse::json(500, "{}"));
    QList<QByteArray> bodiesSeenByHandler;
    m_server->setHandler([&](const RecordedRequest &head) {
        bodiesSeenByHandler.append(head.body);
        return ScriptedResponse::json(202, head.path().toUtf8());
    });

    const Outcome handled = wait(m_network->post(requestFor(m_server->url("/complete")), QByteArray("document")));
    m_server->setHandler({});
    const Outcome queued = wait(m_network->get(requestFor(m_server->url("/after"))));

    QCOMPARE(handled.status, 202);
    QCOMPARE(handled.body, "/complete");
    QCOMPARE(bodiesSeenByHandler, QList<QByteArray>{QByteArray()});
    QCOMPARE(m_server->requests().first().body, "document");
    QCOMPARE(queued.status, 500);
}

void TestHttpServerTest::putBodyIsRecordedExactly()
{
    const QByteArray part = patterned(3 * 1024 * 1024 + 17);
    QSignalSpy received(m_server.get(), &TestHttpServer::requestReceived);
    QNetworkRequest request = requestFor(m_server->url("/bucket/key?partNumber=3&uploadId=xyz"));
    request.setRawHeader("x-Amz-META-title", "Mixed Case");

    const Outcome outcome = wait(m_network->put(request, part));

    QCOMPARE(outcome.error, QNetworkReply::NoError);
    QCOMPARE(received.count(), 1);
    const auto recorded = received.first().first().value<RecordedRequest>();
    QCOMPARE(recorded.body.size(), part.size());
    QVERIFY(recorded.body == part);
    QCOMPARE(recorded.header("content-length"), QByteArray::number(part.size()));
    QCOMPARE(recorded.header("X-AMZ-META-TITLE"), "Mixed Case");
    QVERIFY(recorded.headers.contains(qMakePair(QByteArray("x-Amz-META-title"), QByteArray("Mixed Case"))));
    QCOMPARE(recorded.query().queryItemValue("partNumber"), "3");
}

void TestHttpServerTest::chunkedAndPipelinedRequestsKeepHeadersAsSent()
{
    const QByteArray wire = "POST /complete?uploadId=u1 HTTP/1.1\r\n"
                            "Host: test\r\n"
                            "X-Mixed-CASE: one\r\n"
                            "Transfer-Encoding: chunked\r\n"
                            "accept:   two  \r\n"
                            "\r\n"
                            "5;name=value\r\nhello\r\n"
                            "7\r\n, world\r\n"
                            "0\r\nX-Trailer: t\r\n\r\n"
                            "GET /second HTTP/1.1\r\nHost: test\r\n\r\n";
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, m_server->port());
    QVERIFY(socket.waitForConnected());
    // Small slices with the event loop in between, so the parser sees framing split anywhere.
    for (qsizetype at = 0; at < wire.size(); at += 7) {
        socket.write(wire.mid(at, 7));
        socket.flush();
        QCoreApplication::processEvents();
    }

    QByteArray replies;
    QTRY_COMPARE((replies += socket.readAll()).count("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"), 2);
    const QList<RecordedRequest> requests = m_server->requests();
    QCOMPARE(requests.size(), 2);
    QCOMPARE(requests[0].method, "POST");
    QCOMPARE(requests[0].body, "hello, world");
    const HttpHeaders expectedHeaders{
            {"Host", "test"}, {"X-Mixed-CASE", "one"}, {"Transfer-Encoding", "chunked"}, {"accept", "two"}};
    QCOMPARE(requests[0].headers, expectedHeaders);
    QCOMPARE(requests[1].target, "/second");
    QCOMPARE(requests[1].connectionIndex, 0);
    QCOMPARE(m_server->connectionCount(), 1);
}

void TestHttpServerTest::behaviorsReachTheClientAsNetworkErrors_data()
{
    QTest::addColumn<QByteArray>("verb");
    QTest::addColumn<QByteArray>("requestBody");
    QTest::addColumn<ScriptedResponse>("script");
    QTest::addColumn<int>("transferTimeoutMs");
    QTest::addColumn<QNetworkReply::NetworkError>("expectedError");
    QTest::addColumn<QByteArray>("expectedRecordedBody");
    QTest::addColumn<QByteArray>("expectedReplyBody");

    const int fallbackMs = int(std::chrono::milliseconds(fallbackTimeout).count());
    const QByteArray part = patterned(4 * 1024 * 1024);
    const QByteArray announced = patterned(1000);
    QTest::newRow("close without response")
            << QByteArray("POST") << QByteArray("{}") << ScriptedResponse::closeWithoutResponse() << fallbackMs
            << QNetworkReply::RemoteHostClosedError << QByteArray("{}") << QByteArray();
    QTest::newRow("close mid-body")
            << QByteArray("PUT") << part << ScriptedResponse::closeAfterRequestBodyBytes(65536) << fallbackMs
            << QNetworkReply::RemoteHostClosedError << part.first(65536) << QByteArray();
    QTest::newRow("headers then close")
            << QByteArray("GET") << QByteArray() << ScriptedResponse::headersThenClose(announced, 100) << fallbackMs
            << QNetworkReply::RemoteHostClosedError << QByteArray() << announced.first(100);
    QTest::newRow("stall")
            << QByteArray("GET") << QByteArray() << ScriptedResponse::stall() << 200
            << QNetworkReply::OperationCanceledError << QByteArray() << QByteArray();
}

void TestHttpServerTest::behaviorsReachTheClientAsNetworkErrors()
{
    QFETCH(QByteArray, verb);
    QFETCH(QByteArray, requestBody);
    QFETCH(ScriptedResponse, script);
    QFETCH(int, transferTimeoutMs);
    QFETCH(QNetworkReply::NetworkError, expectedError);
    QFETCH(QByteArray, expectedRecordedBody);
    QFETCH(QByteArray, expectedReplyBody);
    // As the default, so Qt's silent resend of a request whose connection closed meets it again.
    m_server->setDefaultResponse(script);

    const Outcome outcome = wait(m_network->sendCustomRequest(
            requestFor(m_server->url("/target"), std::chrono::milliseconds(transferTimeoutMs)), verb, requestBody));

    QCOMPARE(outcome.error, expectedError);
    QCOMPARE(outcome.body, expectedReplyBody);
    const QList<RecordedRequest> requests = m_server->requests();
    QVERIFY(!requests.isEmpty());
    for (const RecordedRequest &request : requests) {
        QCOMPARE(request.method, verb);
        QVERIFY(request.body == expectedRecordedBody);
    }
}

QTEST_GUILESS_MAIN(TestHttpServerTest)
#include "tst_testhttpserver.moc"
