#include "StorageConnection.h"

#include <QNetworkProxyFactory>
#include <QNetworkReply>

#include <optional>

namespace {
// The longest the worker rests inside libcurl before it looks at a cancellation again; a
// cancellation wakes it at once anyway.
constexpr int pollIntervalMs = 1000;
// Body bytes handed to libcurl per read: curl's own size. Sending to a local sink, in one PUT or
// in 8 MiB parts, 32, 128 and 512 KiB were each 8 to 23 % slower.
constexpr long uploadBufferBytes = 64 * 1024;

// The state of one request that libcurl's callbacks share, on the worker thread.
struct Exchange
{
    Exchange(const StorageRequest &request, const std::atomic<bool> &cancelled, const std::atomic<bool> &closing)
        : request(request)
        , cancelled(cancelled)
        , closing(closing)
    {
    }

    const StorageRequest &request;
    const std::atomic<bool> &cancelled;
    const std::atomic<bool> &closing;
    qint64 position = 0;
    std::optional<Error> bodyFailure;
    HttpResponse response;
    char errorText[CURL_ERROR_SIZE] = {};
};

Exchange &exchangeOf(void *data)
{
    return *static_cast<Exchange *>(data);
}

size_t readBody(char *buffer, size_t size, size_t count, void *data)
{
    Exchange &exchange = exchangeOf(data);
    const Result<qint64> read = exchange.request.body.read(exchange.position, buffer, qint64(size * count));
    if (!read) {
        exchange.bodyFailure = read.error();
        return CURL_READFUNC_ABORT;
    }
    exchange.position += read.value();
    return size_t(read.value());
}

// libcurl rewinds the body when it has to send it again (a kept-alive connection that turned
// out closed, a proxy asking for credentials).
int seekBody(void *data, curl_off_t offset, int origin)
{
    Exchange &exchange = exchangeOf(data);
    if (origin != SEEK_SET || offset < 0 || offset > exchange.request.body.size())
        return CURL_SEEKFUNC_CANTSEEK;
    exchange.position = offset;
    return CURL_SEEKFUNC_OK;
}

size_t receiveHeader(char *buffer, size_t size, size_t count, void *data)
{
    Exchange &exchange = exchangeOf(data);
    const size_t length = size * count;
    const QByteArray line = QByteArray(buffer, qsizetype(length)).trimmed();
    // Each answer starts over: an interim 100 or a proxy's answer to CONNECT comes first.
    if (line.startsWith("HTTP/")) {
        exchange.response.headers.clear();
    } else if (const qsizetype colon = line.indexOf(':'); colon > 0) {
        exchange.response.headers.append({line.left(colon).trimmed(), line.mid(colon + 1).trimmed()});
    }
    return length;
}

size_t receiveBody(char *buffer, size_t size, size_t count, void *data)
{
    Exchange &exchange = exchangeOf(data);
    const qsizetype length = qsizetype(size * count);
    const qint64 limit = exchange.request.maxAnswerBytes;
    if (limit != StorageRequest::unlimited && exchange.response.body.size() + length > limit) {
        exchange.response.bodyTooLarge = true;
        return 0; // ends the transfer
    }
    exchange.response.body.append(buffer, length);
    return size_t(length);
}

int checkCancellation(void *data, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    const Exchange &exchange = exchangeOf(data);
    return exchange.cancelled.load() || exchange.closing.load() ? 1 : 0;
}

QNetworkReply::NetworkError networkError(CURLcode code, long proxyStatus)
{
    switch (code) {
    case CURLE_COULDNT_RESOLVE_HOST:
        return QNetworkReply::HostNotFoundError;
    case CURLE_COULDNT_RESOLVE_PROXY:
        return QNetworkReply::ProxyNotFoundError;
    case CURLE_COULDNT_CONNECT:
        return QNetworkReply::ConnectionRefusedError;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
        return QNetworkReply::SslHandshakeFailedError;
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
        if (proxyStatus == 407)
            return QNetworkReply::ProxyAuthenticationRequiredError;
        if (proxyStatus >= 300)
            return QNetworkReply::UnknownProxyError;
        return QNetworkReply::RemoteHostClosedError;
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
        return QNetworkReply::ProtocolFailure;
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_URL_MALFORMAT:
        return QNetworkReply::ProtocolUnknownError;
    default:
        return QNetworkReply::UnknownNetworkError;
    }
}

// The proxy that the desktop's settings and the proxy variables (https_proxy, http_proxy,
// no_proxy) give for `url`, as libcurl writes it; empty for a direct connection. The service's
// requests ask Qt the same question, so sign-in and uploads take the same road.
QByteArray systemProxyFor(const QUrl &url)
{
    const QList<QNetworkProxy> proxies = QNetworkProxyFactory::proxyForQuery(QNetworkProxyQuery(url));
    for (const QNetworkProxy &proxy : proxies) {
        QUrl address;
        if (proxy.type() == QNetworkProxy::HttpProxy)
            address.setScheme(QStringLiteral("http"));
        else if (proxy.type() == QNetworkProxy::Socks5Proxy)
            address.setScheme(QStringLiteral("socks5h"));
        else if (proxy.type() == QNetworkProxy::NoProxy)
            return {};
        else
            continue;
        address.setHost(proxy.hostName());
        address.setPort(proxy.port());
        address.setUserName(proxy.user());
        address.setPassword(proxy.password());
        return address.toEncoded();
    }
    return {};
}

curl_slist *configure(CURL *easy, Exchange &exchange, const QByteArray &url, const QByteArray &proxy,
                       std::chrono::seconds stallTimeout)
{
    const StorageRequest &request = exchange.request;
    curl_slist *headers = nullptr;
    for (const auto &[name, value] : request.headers)
        headers = curl_slist_append(headers, QByteArray(name + ": " + value).constData());
    // A presigned request carries what was signed and what the body needs; libcurl would add
    // "Expect: 100-continue", which costs a round trip per part, and an Accept field.
    headers = curl_slist_append(headers, "Expect:");
    headers = curl_slist_append(headers, "Accept:");

    curl_easy_reset(easy); // keeps the connection, the TLS session and the DNS cache
    curl_easy_setopt(easy, CURLOPT_URL, url.constData());
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, exchange.errorText);
    // An empty proxy means a direct connection, whatever the environment says.
    curl_easy_setopt(easy, CURLOPT_PROXY, proxy.constData());
    curl_easy_setopt(easy, CURLOPT_PROXYAUTH, CURLAUTH_ANY);
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);

    const curl_off_t size = request.body.size();
    if (request.method == "POST") {
        curl_easy_setopt(easy, CURLOPT_POST, 1L);
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, size);
    } else {
        curl_easy_setopt(easy, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(easy, CURLOPT_INFILESIZE_LARGE, size);
        if (request.method != "PUT")
            curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, request.method.constData());
    }
    curl_easy_setopt(easy, CURLOPT_UPLOAD_BUFFERSIZE, uploadBufferBytes);
    curl_easy_setopt(easy, CURLOPT_READFUNCTION, readBody);
    curl_easy_setopt(easy, CURLOPT_READDATA, &exchange);
    curl_easy_setopt(easy, CURLOPT_SEEKFUNCTION, seekBody);
    curl_easy_setopt(easy, CURLOPT_SEEKDATA, &exchange);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, receiveHeader);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, &exchange);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, receiveBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &exchange);
    curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, checkCancellation);
    curl_easy_setopt(easy, CURLOPT_XFERINFODATA, &exchange);

    // "No byte moved for this long" ends a request, however long it takes in all.
    const long stall = long(stallTimeout.count());
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, stall);
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT, stall);
    return headers;
}
}

StorageConnection::StorageConnection()
    : m_multi(curl_multi_init())
    , m_easy(curl_easy_init())
{
}

StorageConnection::~StorageConnection()
{
    curl_easy_cleanup(m_easy);
    curl_multi_cleanup(m_multi);
}

void StorageConnection::wakeUp()
{
    curl_multi_wakeup(m_multi);
}

void StorageConnection::close()
{
    m_closing = true;
    wakeUp();
}

Result<HttpResponse> StorageConnection::perform(const StorageRequest &request, const std::atomic<bool> &cancelled,
                                                std::chrono::seconds stallTimeout)
{
    if (!m_multi || !m_easy)
        return Error::network(QNetworkReply::UnknownNetworkError, QStringLiteral("libcurl could not start."));
    // A request its caller abandoned may still be ending when the next one comes.
    const std::lock_guard oneAtATime(m_performing);
    Exchange exchange(request, cancelled, m_closing);
    curl_slist *headers = configure(m_easy, exchange, request.url.toEncoded(), proxyFor(request.url), stallTimeout);
    const CURLcode outcome = run(cancelled);
    long status = 0;
    long proxyStatus = 0;
    curl_easy_getinfo(m_easy, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_getinfo(m_easy, CURLINFO_HTTP_CONNECTCODE, &proxyStatus);
    curl_multi_remove_handle(m_multi, m_easy);
    curl_slist_free_all(headers);

    // Anything but a success asks for the proxy again: the network may have changed under us.
    if (outcome != CURLE_OK || status < 200 || status > 299)
        m_proxyOrigin.clear();
    if (outcome == CURLE_OK || exchange.response.bodyTooLarge) {
        exchange.response.statusCode = int(status);
        if (exchange.response.bodyTooLarge)
            exchange.response.body.clear();
        return std::move(exchange.response);
    }
    if (cancelled || m_closing)
        return Error::cancelled();
    if (exchange.bodyFailure)
        return *exchange.bodyFailure;
    if (outcome == CURLE_OPERATION_TIMEDOUT)
        return Error::timedOut();
    const QString text = QString::fromUtf8(exchange.errorText[0] ? exchange.errorText : curl_easy_strerror(outcome));
    return Error::network(networkError(outcome, proxyStatus), text);
}

// Asking costs a round trip to the resolver's own thread, a part of a millisecond, for each of
// the hundreds of parts of a file that all go to one origin.
QByteArray StorageConnection::proxyFor(const QUrl &url)
{
    const QUrl origin =
            url.adjusted(QUrl::RemoveUserInfo | QUrl::RemovePath | QUrl::RemoveQuery | QUrl::RemoveFragment);
    if (origin != m_proxyOrigin) {
        m_proxy = systemProxyFor(url);
        m_proxyOrigin = origin;
    }
    return m_proxy;
}

CURLcode StorageConnection::run(const std::atomic<bool> &cancelled)
{
    if (curl_multi_add_handle(m_multi, m_easy) != CURLM_OK)
        return CURLE_FAILED_INIT;
    for (;;) {
        int running = 0;
        if (curl_multi_perform(m_multi, &running) != CURLM_OK)
            return CURLE_FAILED_INIT;
        if (running == 0)
            break;
        // While connecting no progress is reported: the cancellation is looked at here too.
        if (cancelled || m_closing)
            return CURLE_ABORTED_BY_CALLBACK;
        curl_multi_poll(m_multi, nullptr, 0, pollIntervalMs, nullptr);
    }
    int queued = 0;
    while (CURLMsg *message = curl_multi_info_read(m_multi, &queued)) {
        if (message->msg == CURLMSG_DONE && message->easy_handle == m_easy)
            return message->data.result;
    }
    return CURLE_FAILED_INIT;
}
