#include "HttpClient.h"

#include "CancellationToken.h"

#include <QCoreApplication>
#include <QCoro/QCoroNetworkReply>
#include <QNetworkAccessManager>
#include <QNetworkProxyFactory>
#include <QPointer>

#include <memory>

namespace {
std::chrono::milliseconds currentTransferTimeout{60'000};

struct DeleteLater
{
    void operator()(QObject *object) const { object->deleteLater(); }
};

// Qt reports 4xx and 5xx answers as reply errors; only the network layer's own errors
// (connection, name lookup, TLS, time-out, cancellation) mean that no answer came.
bool isTransportFailure(QNetworkReply *reply)
{
    const auto error = reply->error();
    if (error == QNetworkReply::NoError)
        return false;
    const bool hasStatus = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid();
    const bool networkLayer = error >= QNetworkReply::ConnectionRefusedError
                              && error <= QNetworkReply::UnknownNetworkError;
    return !hasStatus || networkLayer;
}
}

QNetworkAccessManager &HttpClient::manager()
{
    static QPointer<QNetworkAccessManager> instance;
    if (!instance) {
        // Storage requests ask the same factory, so that both take the same road.
        QNetworkProxyFactory::setUseSystemConfiguration(true);
        instance = new QNetworkAccessManager(QCoreApplication::instance());
    }
    return *instance;
}

std::chrono::milliseconds HttpClient::transferTimeout()
{
    return currentTransferTimeout;
}

void HttpClient::setTransferTimeout(std::chrono::milliseconds timeout)
{
    currentTransferTimeout = timeout;
}

QNetworkRequest HttpClient::makeRequest(const QUrl &url)
{
    QNetworkRequest request(url);
    request.setTransferTimeout(int(currentTransferTimeout.count()));
    return request;
}

QCoro::Task<Result<HttpResponse>> HttpClient::send(QNetworkRequest request, QByteArray verb,
                                                   QByteArray body,
                                                   CancellationToken *cancellation,
                                                   qint64 maxBodyBytes)
{
    if (cancellation && cancellation->isCancelled())
        co_return Error::cancelled();
    QNetworkReply *reply = nullptr;
    if (verb == "GET")
        reply = manager().get(request);
    else if (verb == "PUT")
        reply = manager().put(request, body);
    else if (verb == "POST")
        reply = manager().post(request, body);
    else
        reply = manager().sendCustomRequest(request, verb, body);
    co_return co_await await(reply, cancellation, maxBodyBytes);
}

QCoro::Task<Result<HttpResponse>> HttpClient::await(QNetworkReply *reply,
                                                    CancellationToken *cancellation,
                                                    qint64 maxBodyBytes)
{
    const std::unique_ptr<QNetworkReply, DeleteLater> owner(reply);
    QPointer<CancellationToken> token = cancellation;
    if (token) {
        QObject::connect(token, &CancellationToken::cancelled, reply, &QNetworkReply::abort,
                         Qt::QueuedConnection);
    }
    bool bodyTooLarge = false;
    if (maxBodyBytes != unlimited) {
        QObject::connect(reply, &QNetworkReply::downloadProgress, reply,
                         [reply, maxBodyBytes, &bodyTooLarge](qint64 received, qint64 total) {
                             if (received > maxBodyBytes || total > maxBodyBytes) {
                                 bodyTooLarge = true;
                                 reply->abort();
                             }
                         });
    }

    co_await reply;

    if (token && token->isCancelled())
        co_return Error::cancelled();

    HttpResponse response;
    response.statusCode = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    response.headers = reply->rawHeaderPairs();
    if (bodyTooLarge) {
        response.bodyTooLarge = true;
        co_return response;
    }
    if (reply->error() == QNetworkReply::OperationCanceledError)
        co_return Error::timedOut();
    if (isTransportFailure(reply))
        co_return Error::network(reply->error(), reply->errorString());
    response.body = reply->readAll();
    co_return response;
}
