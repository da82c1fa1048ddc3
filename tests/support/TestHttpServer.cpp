#include "TestHttpServer.h"

#include <QTcpSocket>
#include <QTimer>

#include <algorithm>

#include <sys/socket.h>

namespace {
constexpr std::chrono::milliseconds pacingInterval{100};

qint64 bytesPerPacingInterval(qint64 bytesPerSecond)
{
    return std::max<qint64>(1, bytesPerSecond * pacingInterval.count() / 1000);
}
}

QByteArray RecordedRequest::header(QByteArrayView name) const
{
    for (const auto &[key, value] : headers) {
        if (name.compare(key, Qt::CaseInsensitive) == 0)
            return value;
    }
    return {};
}

QString RecordedRequest::path() const
{
    const qsizetype queryStart = target.indexOf('?');
    return QUrl::fromPercentEncoding(queryStart < 0 ? target : target.left(queryStart));
}

QUrlQuery RecordedRequest::query() const
{
    const qsizetype queryStart = target.indexOf('?');
    return queryStart < 0 ? QUrlQuery() : QUrlQuery(QString::fromUtf8(target.mid(queryStart + 1)));
}

ScriptedResponse ScriptedResponse::json(int status, QByteArray body)
{
    ScriptedResponse response;
    response.status = status;
    response.headers = {{"Content-Type", "application/json"}};
    response.body = std::move(body);
    return response;
}

ScriptedResponse ScriptedResponse::withETag(QByteArray etag)
{
    ScriptedResponse response;
    response.headers = {{"ETag", std::move(etag)}};
    return response;
}

ScriptedResponse ScriptedResponse::closeWithoutResponse()
{
    ScriptedResponse response;
    response.behavior = Behavior::CloseWithoutResponse;
    return response;
}

ScriptedResponse ScriptedResponse::stall()
{
    ScriptedResponse response;
    response.behavior = Behavior::Stall;
    return response;
}

ScriptedResponse ScriptedResponse::readingSlowly(qint64 bytesPerSecond, ScriptedResponse then)
{
    then.readBytesPerSecond = bytesPerSecond;
    return then;
}

struct TestHttpServer::Connection
{
    enum class Phase { Head, Body, Answering, Discarding };

    explicit Connection(QTcpSocket *socket) : socket(socket) {}

    QTcpSocket *socket;
    Phase phase = Phase::Head;
    RecordedRequest request;
    ScriptedResponse script;
    qint64 bodyLeft = 0;
    bool pausing = false; // a slow reader between two reads
};

TestHttpServer::TestHttpServer(QObject *parent)
    : QObject(parent)
{
    connect(&m_server, &QTcpServer::newConnection, this, &TestHttpServer::accept);
}

TestHttpServer::~TestHttpServer() = default;

bool TestHttpServer::listen()
{
    return m_server.listen(QHostAddress::LocalHost, 0);
}

quint16 TestHttpServer::port() const
{
    return m_server.serverPort();
}

QUrl TestHttpServer::url(const QString &pathAndQuery) const
{
    return QUrl(QStringLiteral("http://127.0.0.1:%1").arg(port()) + pathAndQuery);
}

void TestHttpServer::enqueue(ScriptedResponse response)
{
    m_queue.enqueue(std::move(response));
}

void TestHttpServer::setDefaultResponse(ScriptedResponse response)
{
    m_defaultResponse = std::move(response);
}

void TestHttpServer::setHandler(Handler handler)
{
    m_handler = std::move(handler);
}

void TestHttpServer::accept()
{
    while (QTcpSocket *socket = m_server.nextPendingConnection()) {
        ++m_connectionCount;
        auto connection = std::make_shared<Connection>(socket);
        connect(socket, &QTcpSocket::readyRead, this, [this, connection] { process(connection); });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    }
}

void TestHttpServer::process(const std::shared_ptr<Connection> &connection)
{
    using Phase = Connection::Phase;
    Connection &c = *connection;
    while (c.socket->state() == QAbstractSocket::ConnectedState && !c.pausing) {
        if (c.phase == Phase::Answering) // a delayed answer is pending; later requests wait in the socket
            return;
        if (c.phase == Phase::Discarding) {
            c.socket->readAll();
            return;
        }
        const bool progressed = c.phase == Phase::Head ? readHead(c) : readBody(c);
        if (c.phase == Phase::Answering) {
            QTimer::singleShot(c.script.delay, c.socket, [this, connection] {
                answer(*connection);
                process(connection);
            });
            return;
        }
        if (!progressed)
            return;
        if (c.phase == Phase::Body && c.script.readBytesPerSecond > 0) {
            c.pausing = true;
            QTimer::singleShot(pacingInterval, c.socket, [this, connection] {
                connection->pausing = false;
                process(connection);
            });
        }
    }
}

bool TestHttpServer::readHead(Connection &c)
{
    while (c.socket->canReadLine()) {
        const QByteArray line = c.socket->readLine().trimmed();
        if (c.request.method.isEmpty()) {
            const QList<QByteArray> parts = line.split(' ');
            c.request.method = parts.value(0);
            c.request.target = parts.value(1);
        } else if (!line.isEmpty()) {
            const qsizetype colon = line.indexOf(':');
            c.request.headers.append({line.left(colon), line.mid(colon + 1).trimmed()});
        } else {
            c.script = m_handler ? m_handler(c.request) : m_queue.isEmpty() ? m_defaultResponse : m_queue.dequeue();
            c.bodyLeft = c.request.header("Content-Length").toLongLong();
            c.phase = Connection::Phase::Body;
            if (c.script.readBytesPerSecond > 0) {
                // Qt and the system would otherwise take in whatever the client sends, at once.
                const int slice = int(bytesPerPacingInterval(c.script.readBytesPerSecond));
                c.socket->setReadBufferSize(slice);
                ::setsockopt(int(c.socket->socketDescriptor()), SOL_SOCKET, SO_RCVBUF, &slice, sizeof slice);
            }
            if (c.bodyLeft == 0)
                finishBody(c);
            return true;
        }
    }
    return false;
}

bool TestHttpServer::readBody(Connection &c)
{
    qint64 wanted = c.bodyLeft;
    if (c.script.readBytesPerSecond > 0)
        wanted = std::min(wanted, bytesPerPacingInterval(c.script.readBytesPerSecond));
    const QByteArray bytes = c.socket->read(wanted);
    if (bytes.isEmpty())
        return false;
    c.request.body += bytes;
    c.bodyLeft -= bytes.size();
    if (c.bodyLeft == 0)
        finishBody(c);
    return true;
}

void TestHttpServer::finishBody(Connection &c)
{
    m_requests.append(c.request);
    emit requestReceived(c.request);
    switch (c.script.behavior) {
    case ScriptedResponse::Behavior::Stall:
        c.phase = Connection::Phase::Discarding;
        break;
    default:
        c.phase = Connection::Phase::Answering;
    }
}

void TestHttpServer::answer(Connection &c)
{
    if (c.socket->state() != QAbstractSocket::ConnectedState)
        return;
    if (c.script.behavior == ScriptedResponse::Behavior::CloseWithoutResponse) {
        c.socket->abort();
        return;
    }
    QByteArray head = "HTTP/1.1 " + QByteArray::number(c.script.status) + " Scripted\r\n";
    for (const auto &[name, value] : c.script.headers)
        head += name + ": " + value + "\r\n";
    c.socket->write(head + "Content-Length: " + QByteArray::number(c.script.body.size()) + "\r\n\r\n" + c.script.body);
    c.request = {};
    c.phase = Connection::Phase::Head;
    c.socket->setReadBufferSize(0);
}
