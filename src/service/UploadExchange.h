#pragma once

#include "Error.h"
#include "HttpClient.h"
#include "HttpResponseParser.h"

#include <QAbstractSocket>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <chrono>
#include <optional>

class UploadConnection;

// One request and its answer on one upload connection: the head and body go to the socket in
// large slices, a bounded amount per event-loop turn, while the answer is read as it comes.
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

    // The request line and header fields as QNetworkAccessManager would send them: the origin
    // form of the URL, Host with the port when the URL names one (presigned URLs sign exactly
    // that), then the request's own fields.
    static QByteArray requestHead(const QNetworkRequest &request, const QByteArray &verb, qint64 bodySize);

    UploadExchange(UploadConnection &connection, QByteArray head, Body body, qint64 maxBodyBytes,
                   std::chrono::milliseconds transferTimeout);

    void start();
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

    void send();
    qint64 writeSlice();
    qint64 write(const char *data, qint64 count);
    void receive();
    void answered();
    void connectionEnded();
    void failWithConnection(QAbstractSocket::SocketError error);
    void deliverAnswer();
    void fail(const Error &error) { finish(error, true); }
    void finish(Result<HttpResponse> result, bool closeConnection);
    void madeProgress();

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
