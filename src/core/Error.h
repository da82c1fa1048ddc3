#pragma once

#include <QNetworkReply>
#include <QString>

#include <optional>

// One failure as the user and the diagnostics see it: where it came from (domain), a number
// (code) and a human-readable description. Errors never travel as exceptions.
class Error
{
public:
    static inline const QString uploadDomain = QStringLiteral("UploadError");
    static inline const QString networkDomain = QStringLiteral("QNetworkReply::NetworkError");
    static inline const QString decodingDomain = QStringLiteral("DecodingError");

    Error() = default;
    Error(QString domain, qint64 code, QString description);

    static Error upload(qint64 code, QString description);
    static Error network(QNetworkReply::NetworkError code, QString description);
    static Error cancelled();
    static Error timedOut();
    static Error badUrl(const QString &url);
    static Error decoding(QString description);

    const QString &domain() const { return m_domain; }
    qint64 code() const { return m_code; }
    const QString &description() const { return m_description; }
    // Names domain, code and description; used where a line must carry every detail.
    QString fullDescription() const;

    bool isNetworkError() const { return m_domain == networkDomain; }
    bool isCancellation() const;
    // The service or storage could not be reached at all (no connection, name lookup, TLS,
    // time-out): worth trying again later, unlike an answer that refused us.
    bool isTransient() const;

    // The HTTP status of the answer the failure was read from, when there was one.
    std::optional<int> httpStatus() const { return m_httpStatus; }
    Error withHttpStatus(int status) const;
    // That answer was a JSON document: the service's own words, not a proxy's or a portal's page.
    bool answeredWithJson() const { return m_answeredWithJson; }
    Error withJsonAnswer() const;

    friend bool operator==(const Error &a, const Error &b)
    {
        return a.m_domain == b.m_domain && a.m_code == b.m_code;
    }

private:
    QString m_domain;
    qint64 m_code = 0;
    QString m_description;
    std::optional<int> m_httpStatus;
    bool m_answeredWithJson = false;
};
