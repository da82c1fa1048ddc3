#include "StorageClient.h"

#include "CancellationToken.h"
#include "StorageConnection.h"
#include "StorageWorkers.h"

#include <QCoro/QCoroFuture>
#include <QNetworkProxyFactory>
#include <QPointer>
#include <QScopeGuard>

#include <curl/curl.h>

#include <atomic>
#include <mutex>

namespace {
std::atomic<qint64> stallSeconds{60};

// Clients at work at once each hold one thread for their request; uploads run one at a time.
constexpr std::size_t maxStorageWorkers = 8;

StorageWorkers &storageWorkers()
{
    static StorageWorkers workers(maxStorageWorkers);
    return workers;
}
}

StorageClient::StorageClient()
{
    initialiseLibrary();
    m_connection = std::make_shared<StorageConnection>();
}

// Nothing waits here: a request in flight ends within moments and frees the connection on its
// worker.
StorageClient::~StorageClient()
{
    m_connection->close();
}

QCoro::Task<Result<HttpResponse>> StorageClient::send(StorageRequest request, CancellationToken *cancellation)
{
    const QPointer<CancellationToken> token = cancellation;
    if (token && token->isCancelled())
        co_return Error::cancelled();
    const auto cancelled = std::make_shared<std::atomic<bool>>(false);
    const std::shared_ptr<StorageConnection> connection = m_connection;
    QMetaObject::Connection onCancel;
    if (token) {
        onCancel = QObject::connect(token, &CancellationToken::cancelled, token, [cancelled, connection] {
            cancelled->store(true);
            connection->wakeUp();
        });
    }
    // Also when the caller abandons the request: the connection is then closed by ~StorageClient.
    const auto stopListening = qScopeGuard([&onCancel] { QObject::disconnect(onCancel); });
    QFuture<Result<HttpResponse>> performing =
            storageWorkers().run([connection, request = std::move(request), cancelled] {
                return connection->perform(request, *cancelled, stallTimeout());
            });
    co_return co_await performing;
}

StorageWorkers &StorageClient::workerThreads()
{
    initialiseLibrary();
    return storageWorkers();
}

void StorageClient::initialiseLibrary()
{
    static std::once_flag initialised;
    std::call_once(initialised, [] {
        // Before the worker threads exist: OpenSSL frees a thread's state as the thread stops,
        // which at exit must come before its own clean-up, set up here.
        curl_global_init(CURL_GLOBAL_DEFAULT);
        // Once: each call builds a new resolver, which forgets what it has learned.
        QNetworkProxyFactory::setUseSystemConfiguration(true);
        // Waited for (under a millisecond): until a thread is up, a request would start another.
        storageWorkers().warmUp();
    });
}

std::chrono::seconds StorageClient::stallTimeout()
{
    return std::chrono::seconds(stallSeconds.load());
}

void StorageClient::setStallTimeout(std::chrono::seconds timeout)
{
    stallSeconds = timeout.count();
}
