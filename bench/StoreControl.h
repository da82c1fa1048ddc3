#pragma once

#include <QByteArray>
#include <QJsonArray>
#include <QString>

#include <optional>

// The devservice's control endpoints the benchmark reads: the storage request log, the library
// and a stored object.
class StoreControl
{
public:
    explicit StoreControl(const QString &apiUrl);

    // Every storage request logged since the last clearRequests(), oldest first.
    QJsonArray requests() const;
    bool clearRequests() const;
    QJsonArray library() const;
    std::optional<QByteArray> object(const QString &bbUrl) const;

private:
    std::optional<QByteArray> call(const QByteArray &verb, const QString &path) const;

    QString m_controlUrl;
};
