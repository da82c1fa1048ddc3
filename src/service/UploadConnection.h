#pragma once

#include <QObject>
#include <QString>
#include <QUrl>

#include <optional>

class QAbstractSocket;

// One kept-alive HTTP/1.1 connection for storage uploads. It connects as soon as it is made;
// certificate errors are never ignored, so a TLS connection to a host that cannot prove itself
// fails its handshake.
class UploadConnection : public QObject
{
    Q_OBJECT

public:
    struct Origin
    {
        bool tls = false;
        QString host;
        quint16 port = 0;

        friend bool operator==(const Origin &, const Origin &) = default;

        // Only http and https URLs with a host have one.
        static std::optional<Origin> of(const QUrl &url);
    };

    UploadConnection(Origin origin, QObject *parent);

    const Origin &origin() const { return m_origin; }
    QAbstractSocket *socket() const { return m_socket; }
    // Connected, and encrypted where it should be.
    bool isReady() const;
    // Bytes handed to the socket that have not reached the system yet.
    qint64 pendingOutput() const;

    // Served a request before: the peer may have closed it meanwhile without our noticing.
    bool wasUsed = false;

private:
    void avoidDelays();

    Origin m_origin;
    QAbstractSocket *m_socket = nullptr;
};
