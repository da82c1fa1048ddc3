#include "UploadExchange.h"

#include "UploadConnection.h"

#include <QSslSocket>

namespace {
// One write to the socket: large enough that the system call and event-loop costs vanish
// against the copy, small enough that a slow peer does not leave much of it in Qt's buffer.
constexpr qint64 sliceBytes = 1024 * 1024;
// Written in one turn of the event loop at most: a few milliseconds of work on a fast link, so
// that the UI thread stays responsive, while the turns between slices cost little.
constexpr qint64 bytesPerTurn = 4 * 1024 * 1024;

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
}

QByteArray UploadExchange::requestHead(const QNetworkRequest &request, const QByteArray &verb, qint64 bodySize)
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

UploadExchange::UploadExchange(UploadConnection &connection, QByteArray head, Body body, qint64 maxBodyBytes,
                               std::chrono::milliseconds transferTimeout)
    : m_connection(&connection)
    , m_socket(connection.socket())
    , m_head(std::move(head))
    , m_body(std::move(body))
    , m_parser(maxBodyBytes)
{
    m_continue.setSingleShot(true);
    m_continue.setInterval(0);
    connect(&m_continue, &QTimer::timeout, this, &UploadExchange::send);
    m_stalled.setSingleShot(true);
    m_stalled.setInterval(transferTimeout);
    connect(&m_stalled, &QTimer::timeout, this, [this] { fail(Error::timedOut()); });
}

void UploadExchange::start()
{
    connect(m_socket, &QAbstractSocket::connected, this, &UploadExchange::send);
    if (auto *tls = qobject_cast<QSslSocket *>(m_socket))
        connect(tls, &QSslSocket::encrypted, this, &UploadExchange::send);
    connect(m_socket, &QIODevice::bytesWritten, this, &UploadExchange::send);
    if (auto *tls = qobject_cast<QSslSocket *>(m_socket))
        connect(tls, &QSslSocket::encryptedBytesWritten, this, &UploadExchange::send);
    connect(m_socket, &QIODevice::readyRead, this, &UploadExchange::receive);
    connect(m_socket, &QAbstractSocket::errorOccurred, this, &UploadExchange::connectionEnded);
    connect(m_socket, &QAbstractSocket::disconnected, this, &UploadExchange::connectionEnded);
    if (m_body.device)
        connect(m_body.device, &QIODevice::readyRead, this, &UploadExchange::send);
    if (m_stalled.interval() > 0)
        m_stalled.start();
    if (m_socket->state() == QAbstractSocket::UnconnectedState)
        connectionEnded();
    else
        send();
}

void UploadExchange::send()
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
qint64 UploadExchange::writeSlice()
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

qint64 UploadExchange::write(const char *data, qint64 count)
{
    const qint64 written = m_socket->write(data, count);
    if (written != count) {
        failWithConnection(m_socket->error());
        return -1;
    }
    return written;
}

void UploadExchange::receive()
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

void UploadExchange::answered()
{
    m_answered = true;
    // A refusal before the whole body went out: the rest is not wanted. A success that
    // early still leaves the rest of the body to send before the connection is free.
    if ((bodyLeft() == 0 && m_connection->pendingOutput() == 0) || m_parser.bodyTooLarge()
        || m_parser.statusCode() >= 300)
        deliverAnswer();
}

void UploadExchange::connectionEnded()
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

void UploadExchange::failWithConnection(QAbstractSocket::SocketError error)
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

void UploadExchange::deliverAnswer()
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

void UploadExchange::finish(Result<HttpResponse> result, bool closeConnection)
{
    if (isFinished())
        return;
    m_result = std::move(result);
    m_continue.stop();
    m_stalled.stop();
    disconnect(m_socket, nullptr, this, nullptr);
    if (m_body.device)
        disconnect(m_body.device, nullptr, this, nullptr);
    if (closeConnection)
        m_socket->abort();
    QMetaObject::invokeMethod(this, &UploadExchange::finished, Qt::QueuedConnection);
}

void UploadExchange::madeProgress()
{
    if (m_stalled.interval() > 0)
        m_stalled.start();
}
