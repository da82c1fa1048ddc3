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

// The process-wide HTTP client: one QNetworkAccessManager on the UI thread, whose connections
// are kept alive and reused between requests to the same host.
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
    // Streams the body from `body`, which must stay open until the task ends.
    static QCoro::Task<Result<HttpResponse>> send(QNetworkRequest request, QByteArray verb,
                                                  QIODevice *body,
                                                  CancellationToken *cancellation,
                                                  qint64 maxBodyBytes = unlimited);

private:
    static QCoro::Task<Result<HttpResponse>> await(QNetworkReply *reply,
                                                   CancellationToken *cancellation,
                                                   qint64 maxBodyBytes);
};
