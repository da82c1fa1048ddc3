#include "StorageFailure.h"

#include "Error.h"

std::optional<OutageKind> outageKind(const Error &failure)
{
    if (const std::optional<int> status = failure.httpStatus()) {
        switch (*status) {
        case 408:
        case 429:
        case 500:
        case 502:
        case 503:
        case 504:
            return OutageKind::Storage;
        default:
            return std::nullopt;
        }
    }
    if (!failure.isNetworkError())
        return std::nullopt;
    // TLS failures are left out: a certificate that does not verify will not start to.
    switch (static_cast<QNetworkReply::NetworkError>(failure.code())) {
    case QNetworkReply::ConnectionRefusedError:
    case QNetworkReply::HostNotFoundError:
    case QNetworkReply::RemoteHostClosedError:
    case QNetworkReply::TimeoutError:
    case QNetworkReply::TemporaryNetworkFailureError:
    case QNetworkReply::NetworkSessionFailedError:
    case QNetworkReply::ProxyConnectionRefusedError:
    case QNetworkReply::ProxyConnectionClosedError:
    case QNetworkReply::ProxyNotFoundError:
    case QNetworkReply::ProxyTimeoutError:
        return OutageKind::Network;
    default:
        return std::nullopt;
    }
}

bool timeCanHeal(const Error &failure)
{
    return outageKind(failure).has_value();
}

QString describeStorageFailure(const Error &failure)
{
    if (const std::optional<int> status = failure.httpStatus())
        return QStringLiteral("storage answered %1").arg(*status);
    if (!failure.isNetworkError())
        return failure.description();
    switch (static_cast<QNetworkReply::NetworkError>(failure.code())) {
    case QNetworkReply::ConnectionRefusedError:
        return QStringLiteral("could not connect to storage");
    case QNetworkReply::HostNotFoundError:
        return QStringLiteral("could not look up storage's address");
    case QNetworkReply::RemoteHostClosedError:
        return QStringLiteral("the connection to storage was lost");
    case QNetworkReply::TimeoutError:
        return QStringLiteral("storage did not answer in time");
    case QNetworkReply::TemporaryNetworkFailureError:
    case QNetworkReply::NetworkSessionFailedError:
        return QStringLiteral("the network is not available");
    case QNetworkReply::SslHandshakeFailedError:
        return QStringLiteral("could not set up a secure connection to storage");
    case QNetworkReply::ProxyConnectionRefusedError:
    case QNetworkReply::ProxyConnectionClosedError:
    case QNetworkReply::ProxyNotFoundError:
    case QNetworkReply::ProxyTimeoutError:
    case QNetworkReply::UnknownProxyError:
        return QStringLiteral("could not reach storage through the proxy");
    case QNetworkReply::ProxyAuthenticationRequiredError:
        return QStringLiteral("the proxy asked for a sign-in");
    case QNetworkReply::OperationCanceledError:
        return QStringLiteral("the upload was cancelled");
    default:
        return failure.description();
    }
}
