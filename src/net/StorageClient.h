#pragma once

#include "HttpResponse.h"
#include "Result.h"
#include "StorageRequest.h"

#include <QCoro/QCoroTask>

#include <chrono>
#include <memory>

class CancellationToken;
class StorageConnection;
class StorageWorkers;

// Sends the requests of an upload to object storage with libcurl, one at a time, on the process's
// storage worker threads: the UI thread only hands over a request and takes back its answer. Its
// connection is kept alive from one request to the next (the parts, the completion, the next
// file).
//
// A request fails when no byte moves for stallTimeout(); there is no limit on its whole length.
// It goes through the proxy the desktop's network settings name for its URL, as the service's
// requests do. Certificates and host names are always verified against the system's store.
// Redirects are answers, never followed: a presigned URL is signed for its own host and path.
class StorageClient
{
public:
    StorageClient();
    ~StorageClient();
    StorageClient(const StorageClient &) = delete;
    StorageClient &operator=(const StorageClient &) = delete;

    // Fails with the transport's error (Error::network, Error::timedOut, Error::cancelled) or the
    // body's file error; any HTTP answer is a response. Under a cancelled token nothing is sent;
    // a cancellation ends the request in flight within moments.
    QCoro::Task<Result<HttpResponse>> send(StorageRequest request, CancellationToken *cancellation);

    // Starts libcurl and its TLS library, and a storage worker thread, once per process: tens of
    // milliseconds. The application calls it once its window is up, so that the first upload does
    // not wait for it; the first client or workerThreads() calls it otherwise. Main thread only.
    static void initialiseLibrary();

    // The threads the requests run on, started ahead and kept: an upload's blocking file work
    // just before or between its requests (opening, measuring) goes here too, so that it never
    // waits for a thread to start.
    static StorageWorkers &workerThreads();

    // 60 s; tests shorten it. Whole seconds: that is what libcurl measures.
    static std::chrono::seconds stallTimeout();
    static void setStallTimeout(std::chrono::seconds timeout);

private:
    // Used on a worker; a request still in flight when the client goes keeps it until it ends.
    std::shared_ptr<StorageConnection> m_connection;
};
