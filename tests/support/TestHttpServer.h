#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPair>
#include <QQueue>
#include <QTcpServer>
#include <QUrl>
#include <QUrlQuery>

#include <chrono>
#include <functional>
#include <memory>

using HttpHeaders = QList<QPair<QByteArray, QByteArray>>;

struct RecordedRequest
{
    QByteArray method;
    QByteArray target; // path and query exactly as sent
    HttpHeaders headers; // original name case and order
    QByteArray body;

    // Case-insensitive; the first match, or empty.
    QByteArray header(QByteArrayView name) const;
    QString path() const; // percent-decoded
    QUrlQuery query() const;
};

struct ScriptedResponse
{
    enum class Behavior {
        Respond,
        CloseWithoutResponse,
        Stall, // reads the request, never answers
    };

    int status = 200;
    HttpHeaders headers; // Content-Length is added
    QByteArray body;
    std::chrono::milliseconds delay{0}; // before answering or closing
    Behavior behavior = Behavior::Respond;
    // Reads the request body no faster than this, as a slow link would (0: as fast as it comes).
    qint64 readBytesPerSecond = 0;

    static ScriptedResponse json(int status, QByteArray body);
    static ScriptedResponse withETag(QByteArray etag);
    static ScriptedResponse closeWithoutResponse();
    static ScriptedResponse stall();
    static ScriptedResponse readingSlowly(qint64 bytesPerSecond, ScriptedResponse then);
};

// HTTP/1.1 server on 127.0.0.1 for tests, keeping connections alive. Lives on the creating
// thread and never blocks, so a client on the same event loop can talk to it. Requests are
// recorded once complete.
class TestHttpServer : public QObject
{
    Q_OBJECT
public:
    using Handler = std::function<ScriptedResponse(const RecordedRequest &)>;

    explicit TestHttpServer(QObject *parent = nullptr);
    ~TestHttpServer() override;

    bool listen(); // a free port
    quint16 port() const;
    QUrl url(const QString &pathAndQuery = QStringLiteral("/")) const;

    // The script is chosen when a request's head has arrived, so that it can pace the reading of the body.
    void enqueue(ScriptedResponse response); // one per request, first in first out
    void setDefaultResponse(ScriptedResponse response); // when the queue is empty
    // Takes precedence over the queue. It gets the request head: the body is still empty
    // (read bodies from requests() or requestReceived).
    void setHandler(Handler handler);

    QList<RecordedRequest> requests() const { return m_requests; }
    int connectionCount() const { return m_connectionCount; }

signals:
    void requestReceived(const RecordedRequest &request);

private:
    struct Connection;

    void accept();
    void process(const std::shared_ptr<Connection> &connection);
    bool readHead(Connection &connection);
    bool readBody(Connection &connection);
    void finishBody(Connection &connection);
    void answer(Connection &connection);

    QTcpServer m_server;
    QQueue<ScriptedResponse> m_queue;
    ScriptedResponse m_defaultResponse;
    Handler m_handler;
    QList<RecordedRequest> m_requests;
    int m_connectionCount = 0;
};
