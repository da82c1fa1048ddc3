#pragma once

#include "Result.h"

#include <QCoro/QCoroTask>
#include <QNetworkReply>
#include <QNetworkRequest>

#include <chrono>

class CancellationToken;
class QIODevice;
class QNetworkAccessManager;

// An HTTP answer, whatever its status. Only failures to get an answer at all are errors.
struct HttpResponse
{
    int statusCode = 0;
    QList<QNetworkReply::RawHeaderPair> headers;
    QByteArray body;
    // The body grew past the caller's limit and was abandoned; `body` is then empty.
    bool bodyTooLarge = false;

    bool isSuccess() const { return statusCode >= 200 && statusCode <= 299; }
};

// The process-wide HTTP client: send() goes through one QNetworkAccessManager on the UI thread,
// upload() through HTTP/1.1 connections of its own. Both keep connections alive and reuse them
// between requests to the same host.
class HttpClient
{
public:
    static constexpr qint64 unlimited = -1;

    static QNetworkAccessManager &manager();

    // Requests fail when no data moves for this long (60 s; tests shorten it).
    static std::chrono::milliseconds transferTimeout();
    static void setTransferTimeout(std::chrono::milliseconds timeout);

    static QNetworkRequest makeRequest(const QUrl &url);

    static QCoro::Task<Result<HttpResponse>> send(QNetworkRequest request, QByteArray verb,
                                                  QByteArray body,
                                                  CancellationToken *cancellation,
                                                  qint64 maxBodyBytes = unlimited);

    // The same for bodies of any size, as storage requests have: the body goes from memory
    // straight to the socket, in large slices, on the calling thread. (QNetworkAccessManager hands
    // a body over to its own thread 16 KiB at a time, which holds a PUT on a fast link to a
    // fraction of what the link carries.) Only http and https URLs; a redirect is an answer like
    // any other. A request that finds a kept-alive connection closed by the peer goes once more
    // on a fresh one.
    static QCoro::Task<Result<HttpResponse>> upload(QNetworkRequest request, QByteArray verb,
                                                    QByteArray body,
                                                    CancellationToken *cancellation,
                                                    qint64 maxBodyBytes = unlimited);
    // Streams the body from `body`'s current position to its end; it must stay open until the
    // task ends and be able to seek back for a resend.
    static QCoro::Task<Result<HttpResponse>> upload(QNetworkRequest request, QByteArray verb,
                                                    QIODevice *body,
                                                    CancellationToken *cancellation,
                                                    qint64 maxBodyBytes = unlimited);

private:
    static QCoro::Task<Result<HttpResponse>> await(QNetworkReply *reply,
                                                   CancellationToken *cancellation,
                                                   qint64 maxBodyBytes);
};
