#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>
#include <QString>
#include <QStringList>

// The local service and its S3 store, started on free ports for one test and stopped with it.
class DevService
{
public:
    static inline const QString demoKey = QStringLiteral("vc_demo_key_0123456789");

    DevService() = default;
    ~DevService();
    DevService(const DevService &) = delete;
    DevService &operator=(const DevService &) = delete;

    // Starts `node devservice/server.mjs` with the given extra flags; false (with the reason in
    // failure()) when it did not report ready.
    bool start(const QStringList &arguments = {});
    QString failure() const { return m_failure; }

    QString apiUrl() const { return m_apiUrl; }
    QString storageUrl() const { return m_storageUrl; }

    // Control endpoints.
    bool addFault(const QJsonObject &fault);
    // The requests the pending faults are still waiting for (their remaining counts, summed);
    // none when the stack could not be asked.
    std::optional<int> pendingFaultCount();
    bool clearFaults();
    QJsonArray library();
    QJsonArray storageRequests();
    QJsonArray sessions();
    // The stored object's bytes, or nothing when the store has no such object.
    std::optional<QByteArray> object(const QString &bbUrl);

private:
    std::optional<QByteArray> control(const QByteArray &verb, const QString &path,
                                      const QByteArray &body = {});

    QProcess m_process;
    QString m_apiUrl;
    QString m_storageUrl;
    QString m_failure;
};
