#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QTcpServer>
#include <QUrl>

// A forwarding HTTP proxy on 127.0.0.1 for tests. Host names are looked up in its own table
// only, so a client that reaches a host listed there can only have come through the proxy.
class TestProxy : public QObject
{
    Q_OBJECT
public:
    explicit TestProxy(QObject *parent = nullptr);

    bool listen();
    QUrl url() const; // http://127.0.0.1:PORT

    void addHost(const QString &name, quint16 port); // name:port reaches 127.0.0.1:port

    // "PUT http://storage.test:1234/part?... HTTP/1.1", one per forwarded request.
    const QList<QByteArray> &requestLines() const { return m_requestLines; }

private:
    struct Client;

    void accept();
    void serve(Client &client);
    bool forwardHead(Client &client);
    void relayBody(Client &client);
    bool connectUpstream(Client &client, const QByteArray &hostAndPort);

    QTcpServer m_server;
    QHash<QString, quint16> m_hosts;
    QList<QByteArray> m_requestLines;
};
