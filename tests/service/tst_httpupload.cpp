#include "FileStreamDevice.h"
#include "HttpClient.h"
#include "HttpResponseParser.h"
#include "TaskWaiter.h"
#include "TestHttpServer.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QProcess>
#include <QScopeGuard>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

using namespace std::chrono_literals;

namespace {
using Headers = QList<QPair<QByteArray, QByteArray>>;
using State = HttpResponseParser::State;

QByteArray patterned(qsizetype size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        bytes[i] = char((i * 7 + i / 4099) & 0xff);
    return bytes;
}

QByteArray failureOf(const Result<HttpResponse> &sent)
{
    return sent ? QByteArray() : sent.error().description().toUtf8();
}

QNetworkRequest putRequest(const QUrl &url)
{
    QNetworkRequest request = HttpClient::makeRequest(url);
    request.setRawHeader("Content-Type", "application/octet-stream");
    return request;
}

// Reads requests with sized bodies and answers each with `answer`: at once when its head has
// arrived (a store refusing early, or nginx's `return 200`) or once its body has, over TLS when
// given a certificate and key.
class SinkServer : public QTcpServer
{
public:
    enum class Timing { AfterHead, AfterBody };

    SinkServer(QByteArray answer, Timing timing, QSslCertificate certificate = QSslCertificate(),
               QSslKey key = QSslKey())
        : m_answer(std::move(answer))
        , m_timing(timing)
        , m_certificate(std::move(certificate))
        , m_key(std::move(key))
    {
        listen(QHostAddress::LocalHost, 0);
    }

    QUrl url() const
    {
        const QString scheme = m_certificate.isNull() ? QStringLiteral("http") : QStringLiteral("https");
        return QUrl(QStringLiteral("%1://127.0.0.1:%2/part").arg(scheme).arg(serverPort()));
    }

    int connections = 0;
    qint64 bodyBytes = 0; // of every request, as far as they arrived
    QList<QByteArray> bodyDigests; // of every complete body

protected:
    void incomingConnection(qintptr descriptor) override
    {
        ++connections;
        QTcpSocket *socket = nullptr;
        if (m_certificate.isNull()) {
            socket = new QTcpSocket(this);
        } else {
            auto *tls = new QSslSocket(this);
            tls->setLocalCertificate(m_certificate);
            tls->setPrivateKey(m_key);
            socket = tls;
        }
        socket->setSocketDescriptor(descriptor);
        QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket] { read(socket); });
        if (auto *tls = qobject_cast<QSslSocket *>(socket))
            tls->startServerEncryption();
    }

private:
    void read(QTcpSocket *socket)
    {
        m_pending += socket->readAll();
        while (true) {
            if (m_bodyLeft > 0) {
                const qint64 count = std::min<qint64>(m_bodyLeft, m_pending.size());
                bodyBytes += count;
                m_bodyLeft -= count;
                m_body.addData(QByteArrayView(m_pending).first(count));
                m_pending.remove(0, count);
                if (m_bodyLeft > 0)
                    return;
                bodyDigests.append(m_body.result());
                if (m_timing == Timing::AfterBody)
                    socket->write(m_answer);
            }
            const qsizetype headEnd = m_pending.indexOf("\r\n\r\n");
            if (headEnd < 0)
                return;
            const QByteArray head = m_pending.left(headEnd).toLower();
            m_pending.remove(0, headEnd + 4);
            const qsizetype field = head.indexOf("content-length:") + 15;
            m_bodyLeft = head.mid(field, head.indexOf('\r', field) - field).trimmed().toLongLong();
            m_body.reset();
            if (m_timing == Timing::AfterHead)
                socket->write(m_answer);
        }
    }

    QByteArray m_answer;
    Timing m_timing;
    QSslCertificate m_certificate;
    QSslKey m_key;
    QByteArray m_pending;
    qint64 m_bodyLeft = 0;
    QCryptographicHash m_body{QCryptographicHash::Sha1};
};
}

Q_DECLARE_METATYPE(State)

class HttpUploadTest : public QObject
{
    Q_OBJECT

    TestHttpServer *server = nullptr;

private Q_SLOTS:
    void init()
    {
        server = new TestHttpServer(this);
        QVERIFY(server->listen());
        HttpClient::setTransferTimeout(20s);
    }

    void cleanup()
    {
        delete server;
        server = nullptr;
    }

    // Every answer is fed once whole and once a byte at a time: the parser must not care
    // how the connection slices it.
    void answersAreParsed_data()
    {
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<State>("state");
        QTest::addColumn<int>("status");
        QTest::addColumn<Headers>("headers");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("keepsConnection");

        QTest::newRow("sized body")
                << QByteArray("HTTP/1.1 200 OK\r\nETag: \"a\"\r\nContent-Length: 5\r\n\r\nhello") << State::Complete
                << 200 << Headers{{"ETag", "\"a\""}, {"Content-Length", "5"}} << QByteArray("hello") << true;
        QTest::newRow("chunked body with extension and trailer")
                << QByteArray("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5;x=y\r\nhello\r\n6\r\n world\r\n"
                              "0\r\nX-Trailer: t\r\n\r\n")
                << State::Complete << 200 << Headers{{"Transfer-Encoding", "chunked"}} << QByteArray("hello world")
                << true;
        QTest::newRow("interim answer skipped")
                << QByteArray("HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 204 No Content\r\netag: e\r\n\r\n")
                << State::Complete << 204 << Headers{{"etag", "e"}} << QByteArray() << true;
        QTest::newRow("names and duplicates as sent")
                << QByteArray("HTTP/1.1 503 Slow Down\nETAG: x\nx-amz-id:  y \nEtag: z\nContent-Length: 0\n\n")
                << State::Complete << 503
                << Headers{{"ETAG", "x"}, {"x-amz-id", "y"}, {"Etag", "z"}, {"Content-Length", "0"}} << QByteArray()
                << true;
        QTest::newRow("server closes after answering")
                << QByteArray("HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 0\r\n\r\n") << State::Complete
                << 200 << Headers{{"Connection", "close"}, {"Content-Length", "0"}} << QByteArray() << false;
        QTest::newRow("HTTP/1.0 closes by default")
                << QByteArray("HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n") << State::Complete << 200
                << Headers{{"Content-Length", "0"}} << QByteArray() << false;
        QTest::newRow("body delimited by the close")
                << QByteArray("HTTP/1.1 200 OK\r\n\r\nuntil") << State::Body << 200 << Headers{} << QByteArray("until")
                << false;
        QTest::newRow("not HTTP") << QByteArray("SSH-2.0-OpenSSH\r\n\r\n") << State::Failed << 0 << Headers{}
                                  << QByteArray() << false;
        QTest::newRow("bad length") << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 5x\r\n\r\n") << State::Failed
                                    << 200 << Headers{{"Content-Length", "5x"}} << QByteArray() << false;
        QTest::newRow("conflicting lengths")
                << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\nab") << State::Failed
                << 200 << Headers{{"Content-Length", "1"}, {"Content-Length", "2"}} << QByteArray() << false;
        QTest::newRow("bad chunk size")
                << QByteArray("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n") << State::Failed << 200
                << Headers{{"Transfer-Encoding", "chunked"}} << QByteArray() << false;
    }

    void answersAreParsed()
    {
        QFETCH(QByteArray, answer);
        QFETCH(State, state);
        QFETCH(int, status);
        QFETCH(Headers, headers);
        QFETCH(QByteArray, body);
        QFETCH(bool, keepsConnection);

        HttpResponseParser whole;
        whole.feed(answer);
        HttpResponseParser trickled;
        for (char byte : std::as_const(answer))
            trickled.feed(QByteArrayView(&byte, 1));
        for (const HttpResponseParser *parser : {&whole, &trickled}) {
            QCOMPARE(parser->state(), state);
            QCOMPARE(parser->statusCode(), status);
            QCOMPARE(parser->headers(), headers);
            if (state != State::Failed)
                QCOMPARE(parser->body(), body);
            QCOMPARE(parser->keepsConnection(), keepsConnection);
        }
        QCOMPARE(whole.failure().isEmpty(), state != State::Failed);
    }

    void connectionCloseEndsTheAnswer()
    {
        HttpResponseParser untilClose;
        untilClose.feed("HTTP/1.1 200 OK\r\n\r\nall of it");
        untilClose.finishAtClose();
        QCOMPARE(untilClose.state(), State::Complete);
        QCOMPARE(untilClose.body(), "all of it");
        QVERIFY(!untilClose.keepsConnection());

        HttpResponseParser cutShort;
        cutShort.feed("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc");
        cutShort.finishAtClose();
        QCOMPARE(cutShort.state(), State::Failed);

        HttpResponseParser nothing;
        nothing.finishAtClose();
        QCOMPARE(nothing.state(), State::Failed);
        QVERIFY(!nothing.hasReceivedAnything());
    }

    void largeBodiesAreAbandoned()
    {
        HttpResponseParser announced(10);
        announced.feed("HTTP/1.1 200 OK\r\nContent-Length: 11\r\n\r\n");
        QCOMPARE(announced.state(), State::Complete);
        QVERIFY(announced.bodyTooLarge());
        QVERIFY(!announced.keepsConnection());

        HttpResponseParser chunked(10);
        chunked.feed("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n6\r\nabcdef\r\n6\r\nghijkl\r\n");
        QCOMPARE(chunked.state(), State::Complete);
        QVERIFY(chunked.bodyTooLarge());
        QVERIFY(chunked.body().isEmpty());
    }

    // Bodies in memory and from a device, small and spanning many slices, go over one
    // connection, each byte for byte with the headers a presigned URL needs.
    void bodiesShareOneKeptAliveConnection()
    {
        QTemporaryDir dir;
        const QByteArray fileBytes = patterned(3 * FileStreamDevice::blockSize + 777);
        QFile file(dir.filePath("movie.mov"));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(fileBytes) == fileBytes.size());
        file.close();
        const auto streamed = waitForTask(FileStreamDevice::openFile(file.fileName()));
        QVERIFY(streamed);
        const QByteArray large = patterned(5 * 1024 * 1024 + 3);
        server->setDefaultResponse(ScriptedResponse::withETag("\"e\""));
        const QUrl url = server->url("/bucket/movie.mov?partNumber=2&uploadId=u%2B1&X-Amz-Signature=ab%2Fc");

        const auto small = waitForTask(HttpClient::upload(putRequest(url), "PUT", QByteArray("tiny"), nullptr));
        const auto big = waitForTask(HttpClient::upload(putRequest(url), "PUT", large, nullptr));
        const auto fromDevice = waitForTask(HttpClient::upload(putRequest(url), "PUT", streamed.get(), nullptr));

        for (const auto *sent : {&small, &big, &fromDevice}) {
            QVERIFY2(*sent, failureOf(*sent));
            QCOMPARE(sent->value().statusCode, 200);
            QCOMPARE(sent->value().headers.first(), (QPair<QByteArray, QByteArray>("ETag", "\"e\"")));
        }
        const QList<RecordedRequest> requests = server->requests();
        QCOMPARE(requests.size(), 3);
        const QList<QByteArray> bodies{"tiny", large, fileBytes};
        for (qsizetype i = 0; i < requests.size(); ++i) {
            QCOMPARE(requests[i].method, "PUT");
            QCOMPARE(requests[i].target, "/bucket/movie.mov?partNumber=2&uploadId=u%2B1&X-Amz-Signature=ab%2Fc");
            QCOMPARE(requests[i].header("Host"), QByteArray("127.0.0.1:") + QByteArray::number(server->port()));
            QCOMPARE(requests[i].header("Content-Type"), "application/octet-stream");
            QCOMPARE(requests[i].header("Content-Length"), QByteArray::number(bodies[i].size()));
            QVERIFY(requests[i].body == bodies[i]);
        }
        QCOMPARE(server->connectionCount(), 1);
    }

    // The peer closed a kept-alive connection just as it was reused: the request goes once
    // more on a fresh one. A fresh connection that closes is a failure of its own.
    void closedConnectionsAreReplacedOnlyWhenReused()
    {
        server->enqueue(ScriptedResponse::withETag("first"));
        server->enqueue(ScriptedResponse::closeWithoutResponse());
        server->enqueue(ScriptedResponse::withETag("second"));
        const QUrl url = server->url("/part");
        QVERIFY(waitForTask(HttpClient::upload(putRequest(url), "PUT", QByteArray("one"), nullptr)));
        QBuffer buffer;
        buffer.setData("two");
        QVERIFY(buffer.open(QIODevice::ReadOnly));

        const auto resent = waitForTask(HttpClient::upload(putRequest(url), "PUT", &buffer, nullptr));

        QVERIFY2(resent, failureOf(resent));
        QCOMPARE(resent.value().headers.first().second, "second");
        QCOMPARE(server->requests().last().body, "two");
        QCOMPARE(server->connectionCount(), 2);

        TestHttpServer fresh;
        QVERIFY(fresh.listen());
        fresh.enqueue(ScriptedResponse::closeWithoutResponse());
        const auto failed = waitForTask(HttpClient::upload(putRequest(fresh.url("/part")), "PUT", QByteArray("x"), nullptr));
        QVERIFY(!failed);
        QCOMPARE(failed.error().code(), qint64(QNetworkReply::RemoteHostClosedError));
        QCOMPARE(fresh.requests().size(), 1);
    }

    void refusalBeforeTheBodyEndsTheSending()
    {
        SinkServer early("HTTP/1.1 413 Content Too Large\r\nContent-Length: 8\r\n\r\ntoo much",
                         SinkServer::Timing::AfterHead);
        const QByteArray body(64 * 1024 * 1024, 'x');

        const auto refused = waitForTask(HttpClient::upload(putRequest(early.url()), "PUT", body, nullptr));

        QVERIFY2(refused, failureOf(refused));
        QCOMPARE(refused.value().statusCode, 413);
        QCOMPARE(refused.value().body, "too much");
        QVERIFY2(early.bodyBytes < body.size(), "the whole body was sent after the refusal");
    }

    // nginx's `return 200` answers at once: the whole body still goes, and the connection
    // serves the next request.
    void earlySuccessStillSendsTheWholeBody()
    {
        SinkServer early("HTTP/1.1 200 OK\r\nETag: \"early\"\r\nContent-Length: 0\r\n\r\n",
                         SinkServer::Timing::AfterHead);
        const QByteArray body = patterned(8 * 1024 * 1024);

        const auto first = waitForTask(HttpClient::upload(putRequest(early.url()), "PUT", body, nullptr));
        const auto second = waitForTask(HttpClient::upload(putRequest(early.url()), "PUT", body, nullptr));

        QVERIFY(first && second);
        QCOMPARE(second.value().statusCode, 200);
        QTRY_COMPARE(early.bodyBytes, 2 * body.size());
        QCOMPARE(early.bodyDigests.size(), 2);
        QCOMPARE(early.connections, 1);
    }

    // An answer beyond the caller's limit is not kept, and its connection is not reused.
    void oversizedAnswerIsAbandoned()
    {
        ScriptedResponse huge = ScriptedResponse::withETag("big");
        huge.body = QByteArray(100 * 1024, 'a');
        server->enqueue(huge);
        server->enqueue(ScriptedResponse::withETag("next"));

        const auto answered = waitForTask(HttpClient::upload(putRequest(server->url("/part")), "PUT",
                                                             QByteArray("x"), nullptr, 64 * 1024));
        QVERIFY(answered);
        QVERIFY(answered.value().bodyTooLarge);
        QVERIFY(answered.value().body.isEmpty());
        QVERIFY(waitForTask(HttpClient::upload(putRequest(server->url("/part")), "PUT", QByteArray("y"), nullptr)));
        QCOMPARE(server->connectionCount(), 2);
    }

    // The TLS socket buffers what it encrypts: bodies still arrive whole, over one connection.
    void bodiesGoOverTls()
    {
        QTemporaryDir dir;
        QProcess openssl;
        openssl.start("openssl", {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                                  "-nodes", "-keyout", dir.filePath("key.pem"), "-out", dir.filePath("cert.pem"),
                                  "-days", "1", "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1"});
        if (!openssl.waitForFinished(60000) || openssl.exitCode() != 0)
            QSKIP("openssl cannot make a certificate here");
        QFile certificateFile(dir.filePath("cert.pem"));
        QFile keyFile(dir.filePath("key.pem"));
        QVERIFY(certificateFile.open(QIODevice::ReadOnly) && keyFile.open(QIODevice::ReadOnly));
        const QSslCertificate certificate(&certificateFile);
        const QSslKey key(&keyFile, QSsl::Ec);
        const QSslConfiguration previous = QSslConfiguration::defaultConfiguration();
        QSslConfiguration trusting = previous;
        trusting.addCaCertificate(certificate);
        QSslConfiguration::setDefaultConfiguration(trusting);
        const auto restore = qScopeGuard([&] { QSslConfiguration::setDefaultConfiguration(previous); });
        SinkServer server("HTTP/1.1 200 OK\r\nETag: \"tls\"\r\nContent-Length: 0\r\n\r\n",
                          SinkServer::Timing::AfterBody, certificate, key);
        const QByteArray first = patterned(3 * 1024 * 1024 + 5);
        const QByteArray second = patterned(700 * 1024);

        const auto sentFirst = waitForTask(HttpClient::upload(putRequest(server.url()), "PUT", first, nullptr));
        const auto sentSecond = waitForTask(HttpClient::upload(putRequest(server.url()), "PUT", second, nullptr));

        QVERIFY2(sentFirst, failureOf(sentFirst));
        QVERIFY2(sentSecond, failureOf(sentSecond));
        QCOMPARE(sentSecond.value().headers.first().second, "\"tls\"");
        QCOMPARE(server.bodyDigests, (QList<QByteArray>{QCryptographicHash::hash(first, QCryptographicHash::Sha1),
                                                        QCryptographicHash::hash(second, QCryptographicHash::Sha1)}));
        QCOMPARE(server.connections, 1);
    }

    void unreachableStoreIsATransientError()
    {
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost, 0));
        const QUrl url(QStringLiteral("http://127.0.0.1:%1/part").arg(closed.serverPort()));
        closed.close();

        const auto refused = waitForTask(HttpClient::upload(putRequest(url), "PUT", QByteArray("x"), nullptr));

        QVERIFY(!refused);
        QCOMPARE(refused.error().code(), qint64(QNetworkReply::ConnectionRefusedError));
        QVERIFY(refused.error().isTransient());
    }
};

QTEST_GUILESS_MAIN(HttpUploadTest)
#include "tst_httpupload.moc"
