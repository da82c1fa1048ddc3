#include "HttpResponseParser.h"

#include <algorithm>

namespace {
// Longer heads or chunk lines are no answer from an object store.
constexpr qint64 maxHeadBytes = 64 * 1024;

bool hasToken(const QByteArray &list, QByteArrayView token)
{
    const QList<QByteArray> items = list.split(',');
    return std::any_of(items.begin(), items.end(), [token](const QByteArray &item) {
        return token.compare(item.trimmed(), Qt::CaseInsensitive) == 0;
    });
}
}

HttpResponseParser::HttpResponseParser(qint64 maxBodyBytes)
    : m_maxBodyBytes(maxBodyBytes)
{
}

void HttpResponseParser::feed(QByteArrayView bytes)
{
    if (!bytes.isEmpty())
        m_receivedAnything = true;
    if (m_state == State::Complete || m_state == State::Failed) {
        // Nothing may follow the answer to the one request in flight.
        m_unexpectedBytes = m_unexpectedBytes || !bytes.isEmpty();
        return;
    }
    m_buffer.append(bytes);
    bool progressing = true;
    while (progressing) {
        switch (m_state) {
        case State::Head:
            progressing = parseHead();
            break;
        case State::Body:
            progressing = parseBody();
            break;
        case State::Complete:
            m_unexpectedBytes = m_unexpectedBytes || !m_buffer.isEmpty();
            m_buffer.clear();
            progressing = false;
            break;
        case State::Failed:
            m_buffer.clear();
            progressing = false;
            break;
        }
    }
}

void HttpResponseParser::finishAtClose()
{
    if (m_state == State::Body && m_framing == Framing::UntilClose)
        complete();
    else if (m_state == State::Head || m_state == State::Body)
        fail(QStringLiteral("The connection closed before the answer was complete."));
}

bool HttpResponseParser::keepsConnection() const
{
    if (m_state != State::Complete || m_bodyTooLarge || m_unexpectedBytes || m_framing == Framing::UntilClose)
        return false;
    const QByteArray connection = header("Connection");
    if (hasToken(connection, "close"))
        return false;
    return !m_http10 || hasToken(connection, "keep-alive");
}

bool HttpResponseParser::takeLine(QByteArray &line)
{
    const qsizetype end = m_buffer.indexOf('\n');
    if (end < 0) {
        if (m_buffer.size() > maxHeadBytes)
            fail(QStringLiteral("The answer's head is too long."));
        return false;
    }
    line = m_buffer.left(end > 0 && m_buffer[end - 1] == '\r' ? end - 1 : end);
    m_buffer.remove(0, end + 1);
    return true;
}

bool HttpResponseParser::parseHead()
{
    QByteArray line;
    while (takeLine(line)) {
        m_headBytes += line.size() + 2;
        if (m_headBytes > maxHeadBytes) {
            fail(QStringLiteral("The answer's head is too long."));
            return false;
        }
        if (!m_statusLineRead) {
            if (!parseStatusLine(line))
                return false;
            continue;
        }
        if (line.isEmpty()) {
            // An interim answer (100 Continue and the like): the real one follows.
            if (m_statusCode >= 100 && m_statusCode <= 199 && m_statusCode != 101) {
                m_statusLineRead = false;
                m_headers.clear();
                m_headBytes = 0;
                return true;
            }
            return startBody();
        }
        if (line.front() == ' ' || line.front() == '\t') {
            if (m_headers.isEmpty()) {
                fail(QStringLiteral("The answer's head is malformed."));
                return false;
            }
            m_headers.last().second += ' ' + line.trimmed();
            continue;
        }
        const qsizetype colon = line.indexOf(':');
        const QByteArray name = line.left(colon);
        if (colon <= 0 || name.contains(' ') || name.contains('\t')) {
            fail(QStringLiteral("The answer's head is malformed."));
            return false;
        }
        m_headers.append({name, line.mid(colon + 1).trimmed()});
    }
    return false;
}

bool HttpResponseParser::parseStatusLine(const QByteArray &line)
{
    // HTTP/1.x SP 3DIGIT [SP reason], the status from 100 up
    const bool digits = line.size() >= 12 && line[8] == ' ' && line[9] >= '1' && line[9] <= '9'
            && std::all_of(line.begin() + 10, line.begin() + 12, [](char c) { return c >= '0' && c <= '9'; })
            && (line.size() == 12 || line[12] == ' ');
    if (!line.startsWith("HTTP/1.") || !digits) {
        fail(QStringLiteral("The server's answer is not HTTP/1.x."));
        return false;
    }
    m_http10 = line.startsWith("HTTP/1.0");
    m_statusCode = line.mid(9, 3).toInt();
    m_statusLineRead = true;
    return true;
}

bool HttpResponseParser::startBody()
{
    const QByteArray transferEncoding = header("Transfer-Encoding");
    const QByteArray contentLength = header("Content-Length");
    if (m_statusCode == 204 || m_statusCode == 304) {
        m_framing = Framing::None;
    } else if (!transferEncoding.isEmpty()) {
        const bool chunked = transferEncoding.split(',').last().trimmed().compare("chunked", Qt::CaseInsensitive) == 0;
        m_framing = chunked ? Framing::Chunked : Framing::UntilClose;
    } else if (!contentLength.isEmpty()) {
        bool valid = false;
        m_remaining = contentLength.toLongLong(&valid);
        const bool agreeing = std::all_of(m_headers.begin(), m_headers.end(), [&](const auto &field) {
            return QByteArrayView("Content-Length").compare(field.first, Qt::CaseInsensitive) != 0
                    || field.second == contentLength;
        });
        if (!valid || m_remaining < 0 || !agreeing) {
            fail(QStringLiteral("The answer's Content-Length is invalid."));
            return false;
        }
        m_framing = m_remaining > 0 ? Framing::Length : Framing::None;
        if (m_maxBodyBytes >= 0 && m_remaining > m_maxBodyBytes) {
            m_bodyTooLarge = true;
            complete();
            return true;
        }
    } else {
        m_framing = Framing::UntilClose;
    }
    if (m_framing == Framing::None)
        complete();
    else
        m_state = State::Body;
    return true;
}

bool HttpResponseParser::parseBody()
{
    switch (m_framing) {
    case Framing::Length: {
        const qint64 count = std::min<qint64>(m_remaining, m_buffer.size());
        appendBody(QByteArrayView(m_buffer).first(count));
        m_buffer.remove(0, count);
        m_remaining -= count;
        if (m_remaining == 0 && m_state == State::Body)
            complete();
        return m_state != State::Body;
    }
    case Framing::UntilClose:
        appendBody(m_buffer);
        m_buffer.clear();
        return m_state != State::Body;
    case Framing::Chunked:
        return parseChunked();
    case Framing::None:
        break;
    }
    complete();
    return true;
}

bool HttpResponseParser::parseChunked()
{
    QByteArray line;
    while (m_state == State::Body) {
        switch (m_chunkStep) {
        case ChunkStep::Size: {
            if (!takeLine(line))
                return false;
            const qsizetype extension = line.indexOf(';');
            bool valid = false;
            const qint64 size = (extension < 0 ? line : line.left(extension)).trimmed().toLongLong(&valid, 16);
            if (!valid || size < 0) {
                fail(QStringLiteral("The answer's chunked body is malformed."));
                return false;
            }
            m_remaining = size;
            m_chunkStep = size == 0 ? ChunkStep::Trailers : ChunkStep::Data;
            break;
        }
        case ChunkStep::Data: {
            if (m_buffer.isEmpty())
                return false;
            const qint64 count = std::min<qint64>(m_remaining, m_buffer.size());
            appendBody(QByteArrayView(m_buffer).first(count));
            m_buffer.remove(0, count);
            m_remaining -= count;
            if (m_remaining == 0)
                m_chunkStep = ChunkStep::DataEnd;
            break;
        }
        case ChunkStep::DataEnd:
            if (!takeLine(line))
                return false;
            if (!line.isEmpty()) {
                fail(QStringLiteral("The answer's chunked body is malformed."));
                return false;
            }
            m_chunkStep = ChunkStep::Size;
            break;
        case ChunkStep::Trailers:
            if (!takeLine(line))
                return false;
            if (line.isEmpty())
                complete();
            break;
        }
    }
    return true;
}

void HttpResponseParser::appendBody(QByteArrayView bytes)
{
    if (m_state != State::Body)
        return;
    if (m_maxBodyBytes >= 0 && m_body.size() + bytes.size() > m_maxBodyBytes) {
        m_bodyTooLarge = true;
        m_body.clear();
        complete();
        return;
    }
    m_body.append(bytes);
}

void HttpResponseParser::complete()
{
    m_state = State::Complete;
}

void HttpResponseParser::fail(const QString &why)
{
    m_state = State::Failed;
    m_failure = why;
    m_buffer.clear();
}

QByteArray HttpResponseParser::header(QByteArrayView name) const
{
    for (const auto &[key, value] : m_headers) {
        if (name.compare(key, Qt::CaseInsensitive) == 0)
            return value;
    }
    return {};
}
