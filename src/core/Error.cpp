#include "Error.h"

#include "Diagnostics.h"

Error::Error(QString domain, qint64 code, QString description)
    : m_domain(std::move(domain))
    , m_code(code)
    , m_description(std::move(description))
{
}

Error Error::upload(qint64 code, QString description)
{
    return Error(uploadDomain, code, std::move(description));
}

Error Error::network(QNetworkReply::NetworkError code, QString description)
{
    return Error(networkDomain, code, std::move(description));
}

Error Error::cancelled()
{
    return network(QNetworkReply::OperationCanceledError, QStringLiteral("Operation canceled"));
}

Error Error::timedOut()
{
    return network(QNetworkReply::TimeoutError, QStringLiteral("The request timed out."));
}

Error Error::badUrl(const QString &url)
{
    return network(QNetworkReply::ProtocolUnknownError,
                   QStringLiteral("unsupported URL: \"%1\"").arg(Diagnostics::redactedUrl(url)));
}

Error Error::decoding(QString description)
{
    return Error(decodingDomain, 0, std::move(description));
}

QString Error::fullDescription() const
{
    return QStringLiteral("%1 (code %2): %3").arg(m_domain).arg(m_code).arg(m_description);
}

bool Error::isCancellation() const
{
    return isNetworkError() && m_code == QNetworkReply::OperationCanceledError;
}

bool Error::isTransient() const
{
    if (!isNetworkError())
        return false;
    switch (static_cast<QNetworkReply::NetworkError>(m_code)) {
    case QNetworkReply::ConnectionRefusedError:
    case QNetworkReply::RemoteHostClosedError:
    case QNetworkReply::HostNotFoundError:
    case QNetworkReply::TimeoutError:
    case QNetworkReply::SslHandshakeFailedError:
    case QNetworkReply::TemporaryNetworkFailureError:
    case QNetworkReply::NetworkSessionFailedError:
    case QNetworkReply::UnknownNetworkError:
    case QNetworkReply::ProxyConnectionRefusedError:
    case QNetworkReply::ProxyConnectionClosedError:
    case QNetworkReply::ProxyNotFoundError:
    case QNetworkReply::ProxyTimeoutError:
    case QNetworkReply::UnknownProxyError:
        return true;
    default:
        return false;
    }
}

Error Error::withHttpStatus(int status) const
{
    Error copy = *this;
    copy.m_httpStatus = status;
    return copy;
}

Error Error::withJsonAnswer() const
{
    Error copy = *this;
    copy.m_answeredWithJson = true;
    return copy;
}
