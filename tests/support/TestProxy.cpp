#include "TestProxy.h"

#include <QTcpSocket>

#include <memory>

struct TestProxy::Client
{
    QTcpSocket *downstream = nullptr;
    QTcpSocket *upstream = nullptr;
    QByteArray upstreamHost; // host:port the upstream connection goes to
    qint64 bodyLeft = 0; // of the request being forwarded
};

TestProxy::TestProxy(QObject *parent)
    : QObject(parent)
{
    connect(&m_server, &QTcpServer::newConnection, this, &TestProxy::accept);
}

bool TestProxy::listen()
{
    return m_server.listen(QHostAddress::LocalHost, 0);
}

QUrl TestProxy::url() const
{
    return QUrl(QStringLiteral("http://127.0.0.1:%1").arg(m_server.serverPort()));
}

void TestProxy::addHost(const QString &name, quint16 port)
{
    m_hosts.insert(name + u':' + QString::number(port), port);
}

void TestProxy::accept()
{
    while (QTcpSocket *socket = m_server.nextPendingConnection()) {
        auto client = std::make_shared<Client>();
        client->downstream = socket;
        connect(socket, &QTcpSocket::readyRead, this, [this, client] { serve(*client); });
        connect(socket, &QTcpSocket::disconnected, this, [client] {
            if (client->upstream)
                client->upstream->disconnectFromHost();
            client->downstream->deleteLater();
        });
    }
}

void TestProxy::serve(Client &client)
{
    for (;;) {
        if (client.bodyLeft > 0) {
            relayBody(client);
            if (client.bodyLeft > 0)
                return;
        }
        if (!forwardHead(client))
            return;
    }
}

void TestProxy::relayBody(Client &client)
{
    const qint64 count = std::min(client.bodyLeft, client.downstream->bytesAvailable());
    if (count <= 0)
        return;
    client.upstream->write(client.downstream->read(count));
    client.bodyLeft -= count;
}

// Reads one request head; false until a whole one has arrived.
bool TestProxy::forwardHead(Client &client)
{
    QTcpSocket *socket = client.downstream;
    const qsizetype end = socket->peek(64 * 1024).indexOf("\r\n\r\n");
    if (end < 0)
        return false;
    const QByteArray head = socket->read(end + 4);
    const QList<QByteArray> lines = head.split('\n');
    const QByteArray requestLine = lines.value(0).trimmed();
    m_requestLines.append(requestLine);
    const QList<QByteArray> parts = requestLine.split(' ');
    const QByteArray method = parts.value(0);

    const QUrl target(QString::fromLatin1(parts.value(1)));
    const QByteArray authority = target.authority().toLatin1();
    if (!connectUpstream(client, authority.contains(':') ? authority : authority + ":80")) {
        socket->write("HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\n\r\n");
        socket->disconnectFromHost();
        return false;
    }
    QByteArray forwarded = method + ' ' + target.toEncoded(QUrl::RemoveScheme | QUrl::RemoveAuthority) + ' '
            + parts.value(2) + "\r\n";
    client.bodyLeft = 0;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines[i].trimmed();
        if (line.isEmpty() || line.toLower().startsWith("proxy-"))
            continue;
        if (line.toLower().startsWith("content-length:"))
            client.bodyLeft = line.mid(15).trimmed().toLongLong();
        forwarded += line + "\r\n";
    }
    client.upstream->write(forwarded + "\r\n");
    return true;
}

bool TestProxy::connectUpstream(Client &client, const QByteArray &key)
{
    if (client.upstream && client.upstreamHost == key)
        return true;
    const auto port = m_hosts.constFind(QString::fromLatin1(key));
    if (port == m_hosts.constEnd())
        return false;
    if (client.upstream)
        client.upstream->disconnectFromHost();
    auto *upstream = new QTcpSocket(client.downstream);
    QTcpSocket *downstream = client.downstream;
    connect(upstream, &QTcpSocket::readyRead, downstream, [upstream, downstream] { downstream->write(upstream->readAll()); });
    connect(upstream, &QTcpSocket::disconnected, downstream, [downstream] { downstream->disconnectFromHost(); });
    upstream->connectToHost(QHostAddress::LocalHost, *port);
    client.upstream = upstream;
    client.upstreamHost = key;
    return true;
}
