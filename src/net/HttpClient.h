#pragma once

#include "HttpResponse.h"
#include "Result.h"

#include <QCoro/QCoroTask>
#include <QNetworkReply>
#include <QNetworkRequest>

#include <chrono>

class CancellationToken;
class QNetworkAccessManager;

// The process-wide client of the service's endpoints: one QNetworkAccessManager on the UI thread,
// which keeps connections alive and follows the desktop's proxy settings.
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

private:
    static QCoro::Task<Result<HttpResponse>> await(QNetworkReply *reply,
                                                   CancellationToken *cancellation,
                                                   qint64 maxBodyBytes);
};
