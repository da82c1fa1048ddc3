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

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200: return "OK";
    case 201: return "Created";
    case 204: return "No Content";
    case 206: return "Partial Content";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 304: return "Not Modified";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 408: return "Request Timeout";
    case 409: return "Conflict";
    case 413: return "Content Too Large";
    case 422: return "Unprocessable Content";
    case 429: return "Too Many Requests";
    case 500: return "Internal Server Error";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    case 504: return "Gateway Timeout";
    default: return "Unknown";
    }
}

QByteArray headerValue(const HttpHeaders &headers, QByteArrayView name)
{
    for (const auto &[key, value] : headers) {
        if (name.compare(key, Qt::CaseInsensitive) == 0)
            return value;
    }
    return {};
}

bool hasHeader(const HttpHeaders &headers, QByteArrayView name)
{
    return std::any_of(headers.begin(), headers.end(), [name](const auto &header) {
        return name.compare(header.first, Qt::CaseInsensitive) == 0;
    });
}

bool asksToClose(const HttpHeaders &headers)
{
    return headerValue(headers, "Connection").trimmed().compare("close", Qt::CaseInsensitive) == 0;
}

} // namespace

QByteArray RecordedRequest::header(QByteArrayView name) const
{
    return headerValue(headers, name);
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

ScriptedResponse ScriptedResponse::closeAfterRequestBodyBytes(qint64 bytes)
{
    ScriptedResponse response;
    response.behavior = Behavior::CloseAfterRequestBodyBytes;
    response.closeAfterBytes = bytes;
    return response;
}

ScriptedResponse ScriptedResponse::stall()
{
    ScriptedResponse response;
    response.behavior = Behavior::Stall;
    return response;
}

ScriptedResponse ScriptedResponse::headersThenClose(QByteArray body, qint64 bodyBytesSent)
{
    ScriptedResponse response;
    response.body = std::move(body);
    response.behavior = Behavior::RespondHeadersThenClose;
    response.closeAfterBytes = bodyBytesSent;
    return response;
}

ScriptedResponse ScriptedResponse::readingSlowly(qint64 bytesPerSecond, ScriptedResponse then)
{
    then.readBytesPerSecond = bytesPerSecond;
    return then;
}

struct TestHttpServer::Connection
{
    enum class Phase { Head, FixedBody, ChunkSize, ChunkData, ChunkEnd, Trailers, Answering, Discarding };

    Connection(QTcpSocket *socket, int index) : socket(socket), index(index) {}

    QTcpSocket *socket;
    int index;
    Phase phase = Phase::Head;
    RecordedRequest request;
    ScriptedResponse script;
    qint64 bodyReceived = 0;
    qint64 remaining = 0; // of the fixed-length body or of the current chunk
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

QList<RecordedRequest> TestHttpServer::requests() const
{
    return m_requests;
}

void TestHttpServer::clearRequests()
{
    m_requests.clear();
}

int TestHttpServer::connectionCount() const
{
    return m_connectionCount;
}

void TestHttpServer::accept()
{
    while (QTcpSocket *socket = m_server.nextPendingConnection()) {
        auto connection = std::make_shared<Connection>(socket, m_connectionCount++);
        connect(socket, &QTcpSocket::readyRead, this, [this, connection] { process(connection); });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    }
}

void TestHttpServer::process(const std::shared_ptr<Connection> &connection)
{
    using Phase = Connection::Phase;
    Connection &c = *connection;
    while (c.socket->state() == QAbstractSocket::ConnectedState) {
        bool progressed = false;
        switch (c.phase) {
        case Phase::Answering: // a delayed answer is pending; later requests wait in the socket
            return;
        case Phase::Discarding:
            c.socket->readAll();
            return;
        case Phase::Head:
            progressed = readHead(c);
            break;
        default:
            if (c.pausing)
                return;
            progressed = readBody(c);
            if (progressed && c.script.readBytesPerSecond > 0 && c.phase != Phase::Answering) {
                c.pausing = true;
                QTimer::singleShot(pacingInterval, c.socket, [this, connection] {
                    connection->pausing = false;
                    process(connection);
                });
                return;
            }
            break;
        }
        if (c.phase == Phase::Answering) {
            if (c.script.delay > std::chrono::milliseconds::zero()) {
                QTimer::singleShot(c.script.delay, c.socket, [this, connection] {
                    answer(*connection);
                    process(connection);
                });
                return;
            }
            answer(c);
        } else if (!progressed) {
            return;
        }
    }
}

bool TestHttpServer::readHead(Connection &c)
{
    while (c.socket->canReadLine()) {
        const QByteArray line = c.socket->readLine().trimmed();
        if (c.request.method.isEmpty()) {
            if (line.isEmpty())
                continue;
            const QList<QByteArray> parts = line.split(' ');
            c.request.method = parts.value(0);
            c.request.target = parts.value(1);
            c.request.connectionIndex = c.index;
        } else if (line.isEmpty()) {
            startBody(c);
            return true;
        } else {
            const qsizetype colon = line.indexOf(':');
            c.request.headers.append({line.left(colon), line.mid(colon + 1).trimmed()});
        }
    }
    return false;
}

void TestHttpServer::startBody(Connection &c)
{
    c.script = nextScript(c.request);
    c.bodyReceived = 0;
    if (c.script.readBytesPerSecond > 0) {
        // Qt would otherwise take in whatever the system has buffered, at once.
        const qint64 slice = bytesPerPacingInterval(c.script.readBytesPerSecond);
        c.socket->setReadBufferSize(slice);
        const int systemBuffer = int(slice);
        ::setsockopt(int(c.socket->socketDescriptor()), SOL_SOCKET, SO_RCVBUF, &systemBuffer, sizeof systemBuffer);
    }
    if (c.request.header("Transfer-Encoding").toLower().contains("chunked")) {
        c.phase = Connection::Phase::ChunkSize;
        return;
    }
    c.remaining = c.request.header("Content-Length").toLongLong();
    // Sized once so that the socket reads straight into it.
    c.request.body.resize(c.remaining);
    c.phase = Connection::Phase::FixedBody;
    if (c.remaining == 0)
        finishRequest(c);
}

bool TestHttpServer::readBody(Connection &c)
{
    using Phase = Connection::Phase;
    const bool cuts = c.script.behavior == ScriptedResponse::Behavior::CloseAfterRequestBodyBytes;
    if (c.phase == Phase::FixedBody || c.phase == Phase::ChunkData) {
        if (cuts && c.bodyReceived >= c.script.closeAfterBytes) {
            cutConnection(c);
            return false;
        }
        qint64 wanted = cuts ? std::min(c.remaining, c.script.closeAfterBytes - c.bodyReceived) : c.remaining;
        if (c.script.readBytesPerSecond > 0)
            wanted = std::min(wanted, bytesPerPacingInterval(c.script.readBytesPerSecond));
        if (c.request.body.size() < c.bodyReceived + wanted)
            c.request.body.resize(c.bodyReceived + wanted);
        const qint64 read = c.socket->read(c.request.body.data() + c.bodyReceived, wanted);
        if (read <= 0)
            return false;
        c.bodyReceived += read;
        c.remaining -= read;
        if (c.remaining == 0) {
            if (c.phase == Phase::FixedBody)
                finishRequest(c);
            else
                c.phase = Phase::ChunkEnd;
        }
        return true;
    }
    if (!c.socket->canReadLine())
        return false;
    const QByteArray line = c.socket->readLine().trimmed();
    switch (c.phase) {
    case Phase::ChunkSize: {
        const qsizetype extension = line.indexOf(';');
        c.remaining = (extension < 0 ? line : line.left(extension)).toLongLong(nullptr, 16);
        c.phase = c.remaining > 0 ? Phase::ChunkData : Phase::Trailers;
        break;
    }
    case Phase::ChunkEnd:
        c.phase = Phase::ChunkSize;
        break;
    default: // trailers are read and dropped
        if (line.isEmpty())
            finishRequest(c);
        break;
    }
    return true;
}

ScriptedResponse TestHttpServer::nextScript(const RecordedRequest &head)
{
    if (m_handler)
        return m_handler(head);
    return m_queue.isEmpty() ? m_defaultResponse : m_queue.dequeue();
}

void TestHttpServer::record(Connection &c)
{
    c.request.body.resize(c.bodyReceived);
    m_requests.append(c.request);
    emit requestReceived(c.request);
}

void TestHttpServer::finishRequest(Connection &c)
{
    record(c);
    c.phase = c.script.behavior == ScriptedResponse::Behavior::Stall ? Connection::Phase::Discarding
                                                                      : Connection::Phase::Answering;
}

void TestHttpServer::cutConnection(Connection &c)
{
    record(c);
    // Closing with unread bytes would send a reset, which Qt reports as RemoteHostClosedError or
    // UnknownNetworkError depending on timing; a half-close makes it RemoteHostClosedError every time.
    ::shutdown(int(c.socket->socketDescriptor()), SHUT_WR);
    c.phase = Connection::Phase::Discarding;
}

void TestHttpServer::answer(Connection &c)
{
    using Behavior = ScriptedResponse::Behavior;
    const ScriptedResponse &script = c.script;
    if (c.socket->state() != QAbstractSocket::ConnectedState)
        return;
    if (script.behavior == Behavior::CloseWithoutResponse || script.behavior == Behavior::CloseAfterRequestBodyBytes) {
        c.socket->abort();
        return;
    }
    QByteArray head = "HTTP/1.1 " + QByteArray::number(script.status) + ' '
            + (script.reason.isEmpty() ? reasonPhrase(script.status) : script.reason) + "\r\n";
    for (const auto &[name, value] : script.headers)
        head += name + ": " + value + "\r\n";
    if (!hasHeader(script.headers, "Content-Length"))
        head += "Content-Length: " + QByteArray::number(script.body.size()) + "\r\n";
    head += "\r\n";
    c.socket->write(head);
    if (script.behavior == Behavior::RespondHeadersThenClose) {
        c.socket->write(script.body.left(script.closeAfterBytes));
        c.socket->disconnectFromHost();
        return;
    }
    if (c.request.method != "HEAD")
        c.socket->write(script.body);
    if (asksToClose(c.request.headers) || asksToClose(script.headers)) {
        c.socket->disconnectFromHost();
        return;
    }
    c.request = {};
    c.phase = Connection::Phase::Head;
    c.socket->setReadBufferSize(0);
}
