#include "StoreControl.h"

#include "HttpClient.h"
#include "TaskWaiter.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QUrl>

namespace {
constexpr int controlTimeoutMs = 30'000;
}

StoreControl::StoreControl(const QString &apiUrl)
    : m_controlUrl(apiUrl.chopped(int(QStringLiteral("/api").size())) + QStringLiteral("/__control"))
{
}

std::optional<QByteArray> StoreControl::call(const QByteArray &verb, const QString &path) const
{
    QNetworkRequest request = HttpClient::makeRequest(QUrl(m_controlUrl + path));
    request.setTransferTimeout(controlTimeoutMs);
    const auto answer = waitForTask(HttpClient::send(request, verb, QByteArray(), nullptr));
    if (!answer || !answer.value().isSuccess())
        return std::nullopt;
    return answer.value().body;
}

QJsonArray StoreControl::requests() const
{
    return QJsonDocument::fromJson(call("GET", QStringLiteral("/requests")).value_or(QByteArray()))
            .object()
            .value(QStringLiteral("requests"))
            .toArray();
}

bool StoreControl::clearRequests() const
{
    return call("DELETE", QStringLiteral("/requests")).has_value();
}

QJsonArray StoreControl::library() const
{
    return QJsonDocument::fromJson(call("GET", QStringLiteral("/library")).value_or(QByteArray()))
            .object()
            .value(QStringLiteral("entries"))
            .toArray();
}

std::optional<QByteArray> StoreControl::object(const QString &bbUrl) const
{
    return call("GET", QStringLiteral("/object?url=") + QString::fromLatin1(QUrl::toPercentEncoding(bbUrl)));
}
