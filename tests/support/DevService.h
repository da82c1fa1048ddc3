#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <chrono>
#include <optional>

// The local service and its S3 store, started on free ports for one test and stopped with it.
// It keeps its store in a folder of its own, so that it can be stopped and started again.
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
    // Stops it as a shell would (SIGTERM): open connections drop; multipart uploads with their
    // parts, objects, sessions and library entries stay in its storage folder.
    void stop();
    // Brings the stopped service back on the same ports with the same folder and flags; URLs
    // handed out before stay valid.
    bool startAgain();
    QString failure() const { return m_failure; }

    QString apiUrl() const { return m_apiUrl; }
    QString storageUrl() const { return m_storageUrl; }

    // Control endpoints.
    bool addFault(const QJsonObject &fault);
    // The requests the pending faults are still waiting for (their remaining counts, summed);
    // none when the stack could not be asked.
    std::optional<int> pendingFaultCount();
    bool clearFaults();
    // UploadPart requests from part `partNumber` on are answered with `status`: the next `count`
    // of them, or every one until clearFaults() (such a fault adds nothing to pendingFaultCount()).
    bool failPartsFrom(int partNumber, int status, std::optional<int> count = std::nullopt);
    // Resets every open storage connection and closes the storage port for `duration`, so that
    // connects are refused; a later call replaces the end, and 0 ms reopens it at once.
    bool refuseStorageConnections(std::chrono::milliseconds duration);
    // X-Amz-Expires of the URLs in the sessions handed out from now on (6 h until set; back to
    // that after startAgain()); 0 s makes them expired on arrival.
    bool setPresignExpiry(std::chrono::seconds expiry);
    QJsonArray library();
    QJsonArray storageRequests();
    QJsonArray sessions();
    // The stored object's bytes, or nothing when the store has no such object.
    std::optional<QByteArray> object(const QString &bbUrl);

private:
    bool launch(const QStringList &arguments);
    std::optional<QByteArray> control(const QByteArray &verb, const QString &path,
                                      const QByteArray &body = {});

    QProcess m_process;
    QTemporaryDir m_storageDir;
    QStringList m_arguments;
    QString m_apiUrl;
    QString m_storageUrl;
    QString m_failure;
};
