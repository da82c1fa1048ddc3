#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

// Reads one HTTP/1.x response from a connection's bytes as they arrive, in any slices.
// Interim 1xx answers are skipped; the body is delimited by Content-Length, chunked transfer
// coding, or the end of the connection.
class HttpResponseParser
{
public:
    enum class State { Head, Body, Complete, Failed };

    // A body larger than `maxBodyBytes` (when not negative) is not kept: the response then
    // completes at once with bodyTooLarge() and its headers.
    explicit HttpResponseParser(qint64 maxBodyBytes = -1);

    void feed(QByteArrayView bytes);
    // The peer closed the connection: a body delimited by the close is complete, any other
    // unfinished response has failed.
    void finishAtClose();

    State state() const { return m_state; }
    bool hasReceivedAnything() const { return m_receivedAnything; }
    int statusCode() const { return m_statusCode; }
    // Names and values as sent, in order, duplicates kept.
    const QList<QPair<QByteArray, QByteArray>> &headers() const { return m_headers; }
    const QByteArray &body() const { return m_body; }
    bool bodyTooLarge() const { return m_bodyTooLarge; }
    // After completion: the connection may carry the next request.
    bool keepsConnection() const;
    const QString &failure() const { return m_failure; }

private:
    enum class Framing { None, Length, Chunked, UntilClose };
    enum class ChunkStep { Size, Data, DataEnd, Trailers };

    bool parseHead();
    bool parseStatusLine(const QByteArray &line);
    bool startBody();
    bool parseBody();
    bool parseChunked();
    void appendBody(QByteArrayView bytes);
    void complete();
    void fail(const QString &why);
    QByteArray header(QByteArrayView name) const;
    // One line from the buffer without its line break; false while it has not arrived whole.
    bool takeLine(QByteArray &line);

    qint64 m_maxBodyBytes;
    State m_state = State::Head;
    QByteArray m_buffer; // received, not yet consumed
    bool m_receivedAnything = false;
    bool m_statusLineRead = false;
    bool m_http10 = false;
    qint64 m_headBytes = 0;
    int m_statusCode = 0;
    QList<QPair<QByteArray, QByteArray>> m_headers;
    Framing m_framing = Framing::None;
    ChunkStep m_chunkStep = ChunkStep::Size;
    qint64 m_remaining = 0; // of the body (Length) or of the current chunk
    QByteArray m_body;
    bool m_bodyTooLarge = false;
    bool m_unexpectedBytes = false; // sent after the complete answer
    QString m_failure;
};
