#include "DevService.h"

#include "HttpClient.h"
#include "TaskWaiter.h"

#include <QDeadlineTimer>
#include <QJsonDocument>
#include <QRegularExpression>

namespace {
constexpr int controlTimeoutMs = 30000;
}

DevService::~DevService()
{
    stop();
}

bool DevService::start(const QStringList &arguments)
{
    // Given first, so that a folder among `arguments` wins.
    m_arguments = QStringList{QStringLiteral("--storage-dir"), m_storageDir.path()} + arguments;
    return launch(m_arguments);
}

void DevService::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(10000))
        m_process.kill();
    m_process.waitForFinished(5000);
}

bool DevService::startAgain()
{
    const auto port = [](const QString &url) { return QString::number(QUrl(url).port()); };
    return launch(m_arguments + QStringList{QStringLiteral("--api-port"), port(m_apiUrl),
                                            QStringLiteral("--storage-port"), port(m_storageUrl)});
}

bool DevService::launch(const QStringList &arguments)
{
    m_process.setProgram(QStringLiteral(NODE_EXECUTABLE));
    m_process.setArguments(QStringList{QStringLiteral(DEVSERVICE_DIR "/server.mjs"),
                                       QStringLiteral("--exit-on-stdin-close"), QStringLiteral("--quiet")}
                           + arguments);
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start();
    if (!m_process.waitForStarted(10000)) {
        m_failure = m_process.errorString();
        return false;
    }
    const QRegularExpression ready(QStringLiteral("^devservice ready api=(\\S+) storage=(\\S+)"));
    QByteArray output;
    QDeadlineTimer deadline(30000);
    while (!deadline.hasExpired() && !output.contains('\n')) {
        if (!m_process.waitForReadyRead(int(deadline.remainingTime()))) {
            if (m_process.state() == QProcess::NotRunning)
                break;
            continue;
        }
        output += m_process.readAllStandardOutput();
    }
    const auto match = ready.match(QString::fromUtf8(output.left(output.indexOf('\n'))));
    if (!match.hasMatch()) {
        m_failure = QStringLiteral("no ready line; got \"%1\" (exit code %2)")
                        .arg(QString::fromUtf8(output))
                        .arg(m_process.exitCode());
        return false;
    }
    m_apiUrl = match.captured(1);
    m_storageUrl = match.captured(2);
    return true;
}

std::optional<QByteArray> DevService::control(const QByteArray &verb, const QString &path,
                                              const QByteArray &body)
{
    QString base = m_apiUrl;
    base.chop(QStringLiteral("/api").size());
    QNetworkRequest request = HttpClient::makeRequest(QUrl(base + QStringLiteral("/__control") + path));
    // Never the transfer timeout a test shortened for the app.
    request.setTransferTimeout(controlTimeoutMs);
    if (!body.isEmpty())
        request.setRawHeader("Content-Type", "application/json");
    const auto answer = waitForTask(HttpClient::send(request, verb, body, nullptr));
    if (!answer || !answer.value().isSuccess())
        return std::nullopt;
    return answer.value().body;
}

bool DevService::addFault(const QJsonObject &fault)
{
    return control("POST", QStringLiteral("/faults"), QJsonDocument(fault).toJson()).has_value();
}

std::optional<int> DevService::pendingFaultCount()
{
    const auto answer = control("GET", QStringLiteral("/faults"));
    if (!answer)
        return std::nullopt;
    int count = 0;
    for (const QJsonValue fault : QJsonDocument::fromJson(*answer)[QLatin1String("faults")].toArray())
        count += fault[QLatin1String("count")].toInt();
    return count;
}

bool DevService::clearFaults()
{
    return control("DELETE", QStringLiteral("/faults")).has_value();
}

bool DevService::failPartsFrom(int partNumber, int status, std::optional<int> count)
{
    QJsonObject fault{{"kind", "part"}, {"action", "respond"}, {"status", status}, {"fromPart", partNumber}};
    if (count)
        fault.insert(QStringLiteral("count"), *count);
    else
        fault.insert(QStringLiteral("untilCleared"), true);
    return addFault(fault);
}

bool DevService::refuseStorageConnections(std::chrono::milliseconds duration)
{
    const QJsonObject outage{{"durationMs", qint64(duration.count())}};
    return control("POST", QStringLiteral("/outage"), QJsonDocument(outage).toJson()).has_value();
}

bool DevService::setPresignExpiry(std::chrono::seconds expiry)
{
    const QJsonObject lifetime{{"seconds", qint64(expiry.count())}};
    return control("PUT", QStringLiteral("/presign-expiry"), QJsonDocument(lifetime).toJson()).has_value();
}

QJsonArray DevService::library()
{
    return QJsonDocument::fromJson(control("GET", QStringLiteral("/library")).value_or(QByteArray()))
        .object().value(QStringLiteral("entries")).toArray();
}

QJsonArray DevService::storageRequests()
{
    return QJsonDocument::fromJson(control("GET", QStringLiteral("/requests")).value_or(QByteArray()))
        .object().value(QStringLiteral("requests")).toArray();
}

QJsonArray DevService::sessions()
{
    return QJsonDocument::fromJson(control("GET", QStringLiteral("/sessions")).value_or(QByteArray()))
        .object().value(QStringLiteral("sessions")).toArray();
}

std::optional<QByteArray> DevService::object(const QString &bbUrl)
{
    return control("GET", QStringLiteral("/object?url=") + QString::fromLatin1(QUrl::toPercentEncoding(bbUrl)));
}
