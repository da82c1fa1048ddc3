#pragma once

#include "HttpResponse.h"
#include "Result.h"
#include "StorageRequest.h"

#include <QByteArray>
#include <QUrl>

#include <curl/curl.h>

#include <atomic>
#include <chrono>
#include <mutex>

// One connection to object storage through libcurl, used on a storage worker thread: it sends one
// request at a time and keeps the connection, the TLS session and the proxy from one request to
// the next. Needs libcurl started (StorageClient::initialiseLibrary).
class StorageConnection
{
public:
    StorageConnection();
    ~StorageConnection();
    StorageConnection(const StorageConnection &) = delete;
    StorageConnection &operator=(const StorageConnection &) = delete;

    // Blocking. Fails with the transport's error or the body's file error; any HTTP answer is a
    // response. A request ends when no byte moves for `stallTimeout`, and soon after `cancelled`
    // is set and wakeUp() called, or after close().
    Result<HttpResponse> perform(const StorageRequest &request, const std::atomic<bool> &cancelled,
                                 std::chrono::seconds stallTimeout);

    // Any thread: cuts short the worker's rest inside libcurl.
    void wakeUp();
    // Any thread: ends the request in flight and every later one.
    void close();

private:
    CURLcode run(const std::atomic<bool> &cancelled);
    QByteArray proxyFor(const QUrl &url);

    CURLM *m_multi = nullptr;
    // One handle for every request: it keeps the connection and the TLS session.
    CURL *m_easy = nullptr;
    std::atomic<bool> m_closing = false;
    std::mutex m_performing;
    // The desktop's proxy for the last origin asked about, kept while its requests succeed.
    QUrl m_proxyOrigin;
    QByteArray m_proxy;
};
