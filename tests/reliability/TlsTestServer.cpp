#include "TlsTestServer.h"

#include "ServiceFixtures.h"

#include <QFile>
#include <QProcess>
#include <QSslSocket>

std::optional<TlsTestServer::Identity> TlsTestServer::makeSelfSigned(const QString &folder, QString &failure)
{
    const QString keyPath = folder + QStringLiteral("/key.pem");
    const QString certificatePath = folder + QStringLiteral("/certificate.pem");
    QProcess openssl;
    openssl.setProcessChannelMode(QProcess::MergedChannels);
    openssl.start(QStringLiteral("openssl"),
                  {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                   "-keyout", keyPath, "-out", certificatePath, "-days", "1", "-subj", "/CN=127.0.0.1",
                   "-addext", "subjectAltName=IP:127.0.0.1"});
    if (!openssl.waitForFinished(60000) || openssl.exitStatus() != QProcess::NormalExit || openssl.exitCode() != 0) {
        failure = QStringLiteral("openssl failed: %1 %2").arg(openssl.errorString(), QString::fromUtf8(openssl.readAll()));
        return std::nullopt;
    }
    QFile keyFile(keyPath);
    QFile certificateFile(certificatePath);
    if (!keyFile.open(QIODevice::ReadOnly) || !certificateFile.open(QIODevice::ReadOnly)) {
        failure = QStringLiteral("openssl wrote no key or certificate");
        return std::nullopt;
    }
    Identity identity{QSslCertificate(&certificateFile, QSsl::Pem), QSslKey(&keyFile, QSsl::Ec, QSsl::Pem)};
    if (identity.certificate.isNull() || identity.key.isNull()) {
        failure = QStringLiteral("the key or the certificate openssl wrote cannot be read");
        return std::nullopt;
    }
    return identity;
}

TlsTestServer::TlsTestServer(Identity identity, QObject *parent)
    : QTcpServer(parent)
    , m_identity(std::move(identity))
{
}

bool TlsTestServer::listenOnLoopback()
{
    return listen(QHostAddress::LocalHost);
}

void TlsTestServer::incomingConnection(qintptr descriptor)
{
    auto *socket = new QSslSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        socket->deleteLater();
        return;
    }
    socket->setLocalCertificate(m_identity.certificate);
    socket->setPrivateKey(m_identity.key);
    connect(socket, &QSslSocket::encrypted, this, [this] { ++m_handshakes; });
    connect(socket, &QSslSocket::readyRead, this, [this, socket] {
        m_received += socket->readAll();
        if (!m_received.contains("\r\n\r\n"))
            return;
        const QByteArray body = ServiceFixtures::workspaceJson();
        socket->write("HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: "
                      + QByteArray::number(body.size()) + "\r\n\r\n" + body);
    });
    connect(socket, &QSslSocket::disconnected, socket, &QObject::deleteLater);
    // The handshake fails on the client's side; the socket then goes.
    connect(socket, &QSslSocket::errorOccurred, socket, &QObject::deleteLater);
    socket->startServerEncryption();
}
