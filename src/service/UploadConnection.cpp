#include "UploadConnection.h"

#include <QSslSocket>
#include <QTcpSocket>

std::optional<UploadConnection::Origin> UploadConnection::Origin::of(const QUrl &url)
{
    const QString scheme = url.scheme();
    if ((scheme != u"http" && scheme != u"https") || url.host().isEmpty())
        return std::nullopt;
    const bool tls = scheme == u"https";
    return Origin{tls, url.host(), quint16(url.port(tls ? 443 : 80))};
}

UploadConnection::UploadConnection(Origin origin, QObject *parent)
    : QObject(parent)
    , m_origin(std::move(origin))
{
    if (m_origin.tls) {
        auto *socket = new QSslSocket(this);
        m_socket = socket;
        connect(socket, &QSslSocket::encrypted, this, &UploadConnection::avoidDelays);
        socket->connectToHostEncrypted(m_origin.host, m_origin.port);
    } else {
        m_socket = new QTcpSocket(this);
        connect(m_socket, &QAbstractSocket::connected, this, &UploadConnection::avoidDelays);
        // Unbuffered: what the system takes at once is never copied into Qt's buffer.
        m_socket->connectToHost(m_origin.host, m_origin.port, QIODevice::ReadWrite | QIODevice::Unbuffered);
    }
}

bool UploadConnection::isReady() const
{
    if (m_socket->state() != QAbstractSocket::ConnectedState)
        return false;
    return !m_origin.tls || static_cast<QSslSocket *>(m_socket)->isEncrypted();
}

qint64 UploadConnection::pendingOutput() const
{
    const qint64 plain = m_socket->bytesToWrite();
    return m_origin.tls ? plain + static_cast<QSslSocket *>(m_socket)->encryptedBytesToWrite() : plain;
}

void UploadConnection::avoidDelays()
{
    // The last short segment of a body would otherwise wait for the peer's acknowledgement.
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
}
