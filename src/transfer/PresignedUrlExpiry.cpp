#include "PresignedUrlExpiry.h"

#include <QRegularExpression>
#include <QTimeZone>
#include <QUrl>
#include <QUrlQuery>

std::optional<QDateTime> presignedUrlExpiry(const QUrl &url)
{
    const QUrlQuery query(url);
    const QString signedAt = query.queryItemValue(QStringLiteral("X-Amz-Date"), QUrl::FullyDecoded);
    const QString lifetime = query.queryItemValue(QStringLiteral("X-Amz-Expires"), QUrl::FullyDecoded);
    // Digits only: toLongLong would also take a sign or surrounding blanks.
    static const QRegularExpression seconds(QStringLiteral("^[0-9]{1,9}$"));
    static const QRegularExpression stamp(QStringLiteral("^[0-9]{8}T[0-9]{6}Z$"));
    if (!seconds.match(lifetime).hasMatch() || !stamp.match(signedAt).hasMatch())
        return std::nullopt;
    // Date and time read apart: as one local time, a stamp inside a daylight-saving gap is invalid.
    const QDate date = QDate::fromString(signedAt.left(8), QStringLiteral("yyyyMMdd"));
    const QTime time = QTime::fromString(signedAt.mid(9, 6), QStringLiteral("HHmmss"));
    if (!date.isValid() || !time.isValid())
        return std::nullopt;
    return QDateTime(date, time, QTimeZone::utc()).addSecs(lifetime.toLongLong());
}
