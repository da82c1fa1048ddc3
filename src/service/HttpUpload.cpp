// HttpClient::upload: request bodies written straight to a socket of our own.
//
// QNetworkAccessManager runs HTTP on a thread of its own and fetches a request body from the
// calling thread 16 KiB at a time, a round trip between the threads for each piece: a PUT over
// loopback then reaches a third to two thirds of what curl does on one connection. Here the
// body goes to the socket in large slices on the calling thread, which is idle otherwise (the
// disk is read on workers), over HTTP/1.1 connections kept alive per origin.

#include "HttpClient.h"

#include "CancellationToken.h"
#include "HttpResponseParser.h"

#include <QCoreApplication>
#include <QCoro/QCoroSignal>
#include <QPointer>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTimer>

#include <optional>

namespace {
// One write to the socket: large enough that the system call and event-loop costs vanish
// against the copy, small enough that a slow peer does not leave much of it in Qt's buffer.
constexpr qint64 sliceBytes = 256 * 1024;
// Written in one turn of the event loop at most, about a millisecond of work on a fast link, so
// that the UI thread stays responsive.
constexpr qint64 bytesPerTurn = 1024 * 1024;
// Idle connections kept per origin.
constexpr int maxIdlePerOrigin = 2;

struct Origin
{
    bool tls = false;
    QString host;
    quint16 port = 0;

    friend bool operator==(const Origin &, const Origin &) = default;

    static std::optional<Origin> of(const QUrl &url)
    {
        const QString scheme = url.scheme();
        if ((scheme != u"http" && scheme != u"https") || url.host().isEmpty())
            return std::nullopt;
        const bool tls = scheme == u"https";
        return Origin{tls, url.host(), quint16(url.port(tls ? 443 : 80))};
    }
};

// The request line and header fields as QNetworkAccessManager would send them: the origin
// form of the URL, Host with the port when the URL names one (presigned URLs sign exactly
// that), then the request's own fields.
QByteArray requestHead(const QNetworkRequest &request, const QByteArray &verb, qint64 bodySize)
{
    QUrl url = request.url();
    QUrl::FormattingOptions format = QUrl::RemoveScheme | QUrl::RemoveAuthority | QUrl::RemoveFragment
            | QUrl::FullyEncoded;
    if (url.path().isEmpty())
        url.setPath(QStringLiteral("/"));
    else
        format |= QUrl::NormalizePathSegments;
    QByteArray host = url.host(QUrl::FullyEncoded).toLatin1();
    if (host.contains(':'))
        host = '[' + host + ']';
    if (url.port() != -1)
        host += ':' + QByteArray::number(url.port());

    QByteArray head = verb + ' ' + url.toEncoded(format) + " HTTP/1.1\r\nHost: " + host + "\r\n";
    bool hasLength = false;
    const QList<QByteArray> names = request.rawHeaderList();
    for (const QByteArray &name : names) {
        if (name.compare("Host", Qt::CaseInsensitive) == 0)
            continue;
        hasLength = hasLength || name.compare("Content-Length", Qt::CaseInsensitive) == 0;
        head += name + ": " + request.rawHeader(name) + "\r\n";
    }
    if (!hasLength)
        head += "Content-Length: " + QByteArray::number(bodySize) + "\r\n";
    return head + "\r\n";
}

QNetworkReply::NetworkError networkError(QAbstractSocket::SocketError error)
{
    switch (error) {
    case QAbstractSocket::ConnectionRefusedError:
        return QNetworkReply::ConnectionRefusedError;
    case QAbstractSocket::RemoteHostClosedError:
        return QNetworkReply::RemoteHostClosedError;
    case QAbstractSocket::HostNotFoundError:
        return QNetworkReply::HostNotFoundError;
    case QAbstractSocket::SocketTimeoutError:
        return QNetworkReply::TimeoutError;
    case QAbstractSocket::SslHandshakeFailedError:
    case QAbstractSocket::SslInternalError:
    case QAbstractSocket::SslInvalidUserDataError:
        return QNetworkReply::SslHandshakeFailedError;
    case QAbstractSocket::ProxyConnectionRefusedError:
        return QNetworkReply::ProxyConnectionRefusedError;
    case QAbstractSocket::ProxyConnectionClosedError:
        return QNetworkReply::ProxyConnectionClosedError;
    case QAbstractSocket::ProxyNotFoundError:
        return QNetworkReply::ProxyNotFoundError;
    case QAbstractSocket::ProxyConnectionTimeoutError:
        return QNetworkReply::ProxyTimeoutError;
    case QAbstractSocket::ProxyAuthenticationRequiredError:
        return QNetworkReply::ProxyAuthenticationRequiredError;
    case QAbstractSocket::TemporaryError:
        return QNetworkReply::TemporaryNetworkFailureError;
    default:
        return QNetworkReply::UnknownNetworkError;
    }
}

// One kept-alive connection to an origin. Sockets connect as soon as they are made.
class UploadConnection : public QObject
{
public:
    UploadConnection(Origin origin, QObject *parent)
        : QObject(parent)
        , m_origin(std::move(origin))
    {
        if (m_origin.tls) {
            auto *socket = new QSslSocket(this);
            m_socket = socket;
            QObject::connect(socket, &QSslSocket::encrypted, this, &UploadConnection::avoidDelays);
            // Certificate errors are never ignored: the handshake then fails.
            socket->connectToHostEncrypted(m_origin.host, m_origin.port);
        } else {
            m_socket = new QTcpSocket(this);
            QObject::connect(m_socket, &QAbstractSocket::connected, this, &UploadConnection::avoidDelays);
            // Unbuffered: what the system takes at once is never copied into Qt's buffer.
            m_socket->connectToHost(m_origin.host, m_origin.port, QIODevice::ReadWrite | QIODevice::Unbuffered);
        }
    }

    const Origin &origin() const { return m_origin; }
    QAbstractSocket *socket() const { return m_socket; }
    bool isReady() const
    {
        if (m_socket->state() != QAbstractSocket::ConnectedState)
            return false;
        return !m_origin.tls || static_cast<QSslSocket *>(m_socket)->isEncrypted();
    }
    // Bytes handed to the socket that have not reached the system yet.
    qint64 pendingOutput() const
    {
        const qint64 plain = m_socket->bytesToWrite();
        return m_origin.tls ? plain + static_cast<QSslSocket *>(m_socket)->encryptedBytesToWrite() : plain;
    }
    // Served a request before: the peer may have closed it meanwhile without our noticing.
    bool wasUsed = false;

private:
    void avoidDelays()
    {
        // The last short segment of a body would otherwise wait for the peer's acknowledgement.
        m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    }

    Origin m_origin;
    QAbstractSocket *m_socket = nullptr;
};

class UploadConnectionPool : public QObject
{
public:
    using QObject::QObject;

    static UploadConnectionPool &instance()
    {
        static QPointer<UploadConnectionPool> pool;
        if (!pool)
            pool = new UploadConnectionPool(QCoreApplication::instance());
        return *pool;
    }

    UploadConnection *take(const Origin &origin, bool fresh)
    {
        for (qsizetype i = 0; !fresh && i < m_idle.size(); ++i) {
            UploadConnection *connection = m_idle[i];
            if (connection->origin() == origin) {
                m_idle.removeAt(i);
                QObject::disconnect(connection->socket(), nullptr, this, nullptr);
                return connection;
            }
        }
        return new UploadConnection(origin, this);
    }

    void giveBack(UploadConnection *connection)
    {
        connection->wasUsed = true;
        if (!connection->isReady()) {
            discard(connection);
            return;
        }
        // An idle connection hears nothing until the next request: data or a close from the
        // peer mean it can serve no other.
        QAbstractSocket *socket = connection->socket();
        const auto drop = [this, connection] { discard(connection); };
        QObject::connect(socket, &QIODevice::readyRead, this, drop);
        QObject::connect(socket, &QAbstractSocket::disconnected, this, drop);
        QObject::connect(socket, &QAbstractSocket::errorOccurred, this, drop);
        m_idle.append(connection);
        const auto sameOrigin = [&](const UploadConnection *other) { return other->origin() == connection->origin(); };
        if (std::count_if(m_idle.begin(), m_idle.end(), sameOrigin) > maxIdlePerOrigin)
            discard(*std::find_if(m_idle.begin(), m_idle.end(), sameOrigin));
    }

    void discard(UploadConnection *connection)
    {
        m_idle.removeOne(connection);
        QObject::disconnect(connection->socket(), nullptr, this, nullptr);
        connection->socket()->abort();
        connection->deleteLater();
    }

private:
    QList<UploadConnection *> m_idle;
};
}

// One request and its answer on one connection.
class UploadExchange : public QObject
{
    Q_OBJECT

public:
    struct Body
    {
        QByteArray bytes; // unless device is set
        QIODevice *device = nullptr; // read from its current position
        qint64 size = 0;
    };

    UploadExchange(UploadConnection &connection, QByteArray head, Body body, qint64 maxBodyBytes,
                   std::chrono::milliseconds transferTimeout)
        : m_connection(&connection)
        , m_socket(connection.socket())
        , m_head(std::move(head))
        , m_body(std::move(body))
        , m_parser(maxBodyBytes)
    {
        m_continue.setSingleShot(true);
        m_continue.setInterval(0);
        QObject::connect(&m_continue, &QTimer::timeout, this, &UploadExchange::send);
        m_stalled.setSingleShot(true);
        m_stalled.setInterval(transferTimeout);
        QObject::connect(&m_stalled, &QTimer::timeout, this, [this] { fail(Error::timedOut()); });
    }

    void start()
    {
        QObject::connect(m_socket, &QAbstractSocket::connected, this, &UploadExchange::send);
        if (auto *tls = qobject_cast<QSslSocket *>(m_socket))
            QObject::connect(tls, &QSslSocket::encrypted, this, &UploadExchange::send);
        QObject::connect(m_socket, &QIODevice::bytesWritten, this, &UploadExchange::send);
        if (auto *tls = qobject_cast<QSslSocket *>(m_socket))
            QObject::connect(tls, &QSslSocket::encryptedBytesWritten, this, &UploadExchange::send);
        QObject::connect(m_socket, &QIODevice::readyRead, this, &UploadExchange::receive);
        QObject::connect(m_socket, &QAbstractSocket::errorOccurred, this, &UploadExchange::connectionEnded);
        QObject::connect(m_socket, &QAbstractSocket::disconnected, this, &UploadExchange::connectionEnded);
        if (m_body.device)
            QObject::connect(m_body.device, &QIODevice::readyRead, this, &UploadExchange::send);
        if (m_stalled.interval() > 0)
            m_stalled.start();
        if (m_socket->state() == QAbstractSocket::UnconnectedState)
            connectionEnded();
        else
            send();
    }

    void abort(const Error &error) { fail(error); }

    bool isFinished() const { return m_result.has_value(); }
    const Result<HttpResponse> &result() const { return *m_result; }
    bool keepsConnection() const { return m_keepsConnection; }
    // A connection used before ended before any answer: the peer had closed it while idle,
    // and the request can go again on a fresh one.
    bool foundConnectionStale() const { return m_stale; }

Q_SIGNALS:
    // Always from the event loop, never from inside a call on the exchange.
    void finished();

private:
    qint64 bodyLeft() const { return m_body.size - m_bodySent; }

    void send()
    {
        if (isFinished() || !m_connection->isReady())
            return;
        qint64 written = 0;
        while (m_connection->pendingOutput() == 0 && written < bytesPerTurn && (!m_headSent || bodyLeft() > 0)) {
            const qint64 count = writeSlice();
            if (count < 0)
                return;
            if (count == 0)
                break;
            written += count;
        }
        if (written > 0)
            madeProgress();
        if (m_connection->pendingOutput() == 0 && bodyLeft() > 0 && written >= bytesPerTurn)
            m_continue.start();
        if (m_answered && bodyLeft() == 0 && m_connection->pendingOutput() == 0)
            deliverAnswer();
    }

    // Hands the next piece to the socket; 0 while the body device has nothing to give yet,
    // -1 once the exchange failed.
    qint64 writeSlice()
    {
        if (!m_headSent) {
            m_headSent = true;
            return write(m_head.constData(), m_head.size());
        }
        const qint64 count = std::min(sliceBytes, bodyLeft());
        if (!m_body.device) {
            const qint64 sent = write(m_body.bytes.constData() + m_bodySent, count);
            m_bodySent += std::max<qint64>(sent, 0);
            return sent;
        }
        m_slice.resize(count);
        const qint64 read = m_body.device->read(m_slice.data(), count);
        if (read < 0) {
            fail(Error::network(QNetworkReply::UnknownContentError, m_body.device->errorString()));
            return -1;
        }
        const qint64 sent = read > 0 ? write(m_slice.constData(), read) : 0;
        m_bodySent += std::max<qint64>(sent, 0);
        return sent;
    }

    qint64 write(const char *data, qint64 count)
    {
        const qint64 written = m_socket->write(data, count);
        if (written != count) {
            failWithConnection(m_socket->error());
            return -1;
        }
        return written;
    }

    void receive()
    {
        if (isFinished())
            return;
        m_parser.feed(m_socket->readAll());
        madeProgress();
        if (m_parser.state() == HttpResponseParser::State::Failed)
            fail(Error::network(QNetworkReply::ProtocolFailure, m_parser.failure()));
        // An unbuffered socket learns of the peer's close by reading nothing, and tells only
        // through its state.
        else if (m_socket->state() == QAbstractSocket::UnconnectedState)
            connectionEnded();
        else if (m_parser.state() == HttpResponseParser::State::Complete)
            answered();
    }

    void answered()
    {
        m_answered = true;
        // A refusal before the whole body went out: the rest is not wanted. A success that
        // early still leaves the rest of the body to send before the connection is free.
        if ((bodyLeft() == 0 && m_connection->pendingOutput() == 0) || m_parser.bodyTooLarge()
            || m_parser.statusCode() >= 300)
            deliverAnswer();
    }

    void connectionEnded()
    {
        if (isFinished())
            return;
        // A TLS socket buffers and may still hold the answer's last bytes; the unbuffered plain
        // one has nothing left to ask for once closed.
        if (qobject_cast<QSslSocket *>(m_socket))
            m_parser.feed(m_socket->readAll());
        if (m_parser.state() == HttpResponseParser::State::Body)
            m_parser.finishAtClose();
        if (m_parser.state() == HttpResponseParser::State::Complete)
            deliverAnswer();
        else
            failWithConnection(m_socket->error());
    }

    void failWithConnection(QAbstractSocket::SocketError error)
    {
        // An early success stands even when the peer then stops reading the rest of the body.
        if (m_parser.state() == HttpResponseParser::State::Complete) {
            deliverAnswer();
            return;
        }
        // A close without an error of its own is the peer's.
        if (error == QAbstractSocket::UnknownSocketError)
            error = QAbstractSocket::RemoteHostClosedError;
        m_stale = m_connection->wasUsed && !m_parser.hasReceivedAnything()
                && error == QAbstractSocket::RemoteHostClosedError;
        fail(Error::network(networkError(error), m_socket->errorString()));
    }

    void deliverAnswer()
    {
        HttpResponse response;
        response.statusCode = m_parser.statusCode();
        response.headers = m_parser.headers();
        response.bodyTooLarge = m_parser.bodyTooLarge();
        if (!response.bodyTooLarge)
            response.body = m_parser.body();
        m_keepsConnection = m_parser.keepsConnection() && bodyLeft() == 0 && m_connection->pendingOutput() == 0
                && m_connection->isReady();
        finish(std::move(response), !m_keepsConnection);
    }

    void fail(const Error &error) { finish(error, true); }

    void finish(Result<HttpResponse> result, bool closeConnection)
    {
        if (isFinished())
            return;
        m_result = std::move(result);
        m_continue.stop();
        m_stalled.stop();
        QObject::disconnect(m_socket, nullptr, this, nullptr);
        if (m_body.device)
            QObject::disconnect(m_body.device, nullptr, this, nullptr);
        if (closeConnection)
            m_socket->abort();
        QMetaObject::invokeMethod(this, &UploadExchange::finished, Qt::QueuedConnection);
    }

    void madeProgress()
    {
        if (m_stalled.interval() > 0)
            m_stalled.start();
    }

    QPointer<UploadConnection> m_connection;
    QAbstractSocket *m_socket;
    QByteArray m_head;
    Body m_body;
    HttpResponseParser m_parser;
    QByteArray m_slice; // a device's bytes on their way to the socket
    QTimer m_continue;
    QTimer m_stalled;
    bool m_headSent = false;
    qint64 m_bodySent = 0;
    bool m_answered = false;
    bool m_keepsConnection = false;
    bool m_stale = false;
    std::optional<Result<HttpResponse>> m_result;
};

namespace {
QCoro::Task<Result<HttpResponse>> sendOverOwnConnection(QNetworkRequest request, QByteArray verb, QByteArray bytes,
                                                        QIODevice *device, CancellationToken *cancellation,
                                                        qint64 maxBodyBytes)
{
    if (cancellation && cancellation->isCancelled())
        co_return Error::cancelled();
    const std::optional<Origin> origin = Origin::of(request.url());
    if (!origin)
        co_return Error::badUrl(request.url().toString());
    const QPointer<CancellationToken> token = cancellation;
    const QPointer<QIODevice> body = device;
    const qint64 bodyStart = device ? device->pos() : 0;
    const qint64 bodySize = device ? device->size() - bodyStart : bytes.size();
    const QByteArray head = requestHead(request, verb, bodySize);

    for (bool fresh = false;; fresh = true) {
        if (fresh && device && (!body || !body->seek(bodyStart))) {
            co_return Error::network(QNetworkReply::UnknownContentError,
                                     QStringLiteral("The body cannot be sent again."));
        }
        UploadConnection *connection = UploadConnectionPool::instance().take(*origin, fresh);
        UploadExchange exchange(*connection, head, {bytes, device, bodySize}, maxBodyBytes,
                                std::chrono::milliseconds(request.transferTimeout()));
        if (token) {
            QObject::connect(token, &CancellationToken::cancelled, &exchange,
                             [&exchange] { exchange.abort(Error::cancelled()); }, Qt::QueuedConnection);
        }
        exchange.start();
        co_await qCoro(&exchange, &UploadExchange::finished);
        if (exchange.keepsConnection())
            UploadConnectionPool::instance().giveBack(connection);
        else
            UploadConnectionPool::instance().discard(connection);
        if (!exchange.foundConnectionStale() || fresh || (token && token->isCancelled()))
            co_return exchange.result();
    }
}
}

QCoro::Task<Result<HttpResponse>> HttpClient::upload(QNetworkRequest request, QByteArray verb, QByteArray body,
                                                     CancellationToken *cancellation, qint64 maxBodyBytes)
{
    return sendOverOwnConnection(std::move(request), std::move(verb), std::move(body), nullptr, cancellation,
                                 maxBodyBytes);
}

QCoro::Task<Result<HttpResponse>> HttpClient::upload(QNetworkRequest request, QByteArray verb, QIODevice *body,
                                                     CancellationToken *cancellation, qint64 maxBodyBytes)
{
    return sendOverOwnConnection(std::move(request), std::move(verb), QByteArray(), body, cancellation,
                                 maxBodyBytes);
}

#include "HttpUpload.moc"
