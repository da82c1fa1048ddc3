#pragma once

#include <QSslCertificate>
#include <QSslKey>
#include <QTcpServer>

#include <optional>

// An HTTPS server on 127.0.0.1 whose certificate nobody signed. It answers every request it
// gets with a valid workspace, so a client that let a certificate error pass would succeed.
// (QSslServer arrives only with Qt 6.5.)
class TlsTestServer : public QTcpServer
{
    Q_OBJECT

public:
    struct Identity
    {
        QSslCertificate certificate;
        QSslKey key;
    };

    // A key and a certificate for 127.0.0.1 made with the openssl command in `folder`, for this
    // test run only; none (with the reason in `failure`) when that did not work.
    static std::optional<Identity> makeSelfSigned(const QString &folder, QString &failure);

    explicit TlsTestServer(Identity identity, QObject *parent = nullptr);

    bool listenOnLoopback();
    // Bytes that arrived through a completed handshake, and how many handshakes completed.
    QByteArray received() const { return m_received; }
    int handshakes() const { return m_handshakes; }

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    Identity m_identity;
    QByteArray m_received;
    int m_handshakes = 0;
};
