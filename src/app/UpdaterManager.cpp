#include "UpdaterManager.h"

#include "BuildConfig.h"
#include "HttpClient.h"

#include <QDesktopServices>
#include <QPointer>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextList>

using namespace std::chrono_literals;

namespace {
const QString productName = QStringLiteral("Vellumcast Uploader");

// Feeds give notes as HTML; the report shows them as plain text, so that nothing in them can
// fetch anything, with list items kept apart by bullets.
QString plainText(const QString &notes)
{
    QTextDocument document;
    document.setHtml(notes);
    QStringList lines;
    for (QTextBlock block = document.begin(); block.isValid(); block = block.next()) {
        const QString text = block.text().trimmed();
        if (!text.isEmpty())
            lines.append(block.textList() ? QStringLiteral("• ") + text : text);
    }
    return lines.join(u'\n');
}
}

UpdaterManager::Settings UpdaterManager::Settings::fromBuild()
{
    return {QUrl(QString::fromUtf8(BuildConfig::updateFeedUrl)),
            QString::fromUtf8(BuildConfig::applicationVersion), 30s, 24h};
}

UpdaterManager::UpdaterManager(Settings settings, QObject *parent)
    : QObject(parent)
    , m_settings(std::move(settings))
{
    connect(&m_schedule, &QTimer::timeout, this, [this] {
        m_schedule.setInterval(m_settings.checkInterval);
        startCheck();
    });
    m_schedule.start(m_settings.firstCheckDelay);
}

QString UpdaterManager::reportTitle() const
{
    switch (m_outcome) {
    case Outcome::Checking:
        return QStringLiteral("Checking for updates…");
    case Outcome::UpToDate:
        return QStringLiteral("You're up to date");
    case Outcome::UpdateAvailable:
        return QStringLiteral("A new version is available");
    case Outcome::Failed:
        return QStringLiteral("Could not check for updates");
    }
    return {};
}

QString UpdaterManager::reportText() const
{
    switch (m_outcome) {
    case Outcome::Checking:
        return {};
    case Outcome::UpToDate:
        return QStringLiteral("%1 %2 is the newest version.").arg(productName, m_settings.currentVersion);
    case Outcome::UpdateAvailable:
        return QStringLiteral("Version %1 is out; you have %2.")
            .arg(m_release->displayVersion, m_settings.currentVersion);
    case Outcome::Failed:
        return m_failure;
    }
    return {};
}

bool UpdaterManager::canOpenDownloadPage() const
{
    return m_outcome == Outcome::UpdateAvailable && !downloadPage().isEmpty();
}

void UpdaterManager::checkForUpdates()
{
    m_userWaiting = true;
    if (!m_checking)
        startCheck();
    if (!m_reportVisible || m_outcome != Outcome::Checking) {
        m_outcome = Outcome::Checking;
        m_reportVisible = true;
        Q_EMIT reportChanged();
    }
}

void UpdaterManager::openDownloadPage() const
{
    if (canOpenDownloadPage())
        QDesktopServices::openUrl(downloadPage());
}

void UpdaterManager::dismissReport()
{
    m_userWaiting = false;
    if (!m_reportVisible)
        return;
    m_reportVisible = false;
    Q_EMIT reportChanged();
}

void UpdaterManager::startCheck()
{
    if (m_checking)
        return;
    m_checking = true;
    Q_EMIT checkingChanged();
    runCheck();
}

QCoro::Task<> UpdaterManager::runCheck()
{
    QPointer<UpdaterManager> self = this;
    const auto response = co_await HttpClient::send(HttpClient::makeRequest(m_settings.feedUrl),
                                                    "GET", QByteArray(), nullptr, maxFeedBytes);
    if (!self)
        co_return;

    if (!response)
        co_return finishCheck(Outcome::Failed, std::nullopt, response.error().description());
    if (response.value().bodyTooLarge)
        co_return finishCheck(Outcome::Failed, std::nullopt, QStringLiteral("The update feed is too large."));
    if (!response.value().isSuccess())
        co_return finishCheck(Outcome::Failed, std::nullopt,
                              QStringLiteral("The update feed answered with HTTP %1.")
                                  .arg(response.value().statusCode));
    const auto items = Appcast::parse(response.value().body);
    if (!items)
        co_return finishCheck(Outcome::Failed, std::nullopt, items.error().description());
    std::optional<Appcast::Item> newest = Appcast::newest(items.value());
    if (newest && Appcast::compareVersions(newest->version, m_settings.currentVersion) > 0)
        co_return finishCheck(Outcome::UpdateAvailable, std::move(newest), QString());
    finishCheck(Outcome::UpToDate, std::nullopt, QString());
}

void UpdaterManager::finishCheck(Outcome outcome, std::optional<Appcast::Item> release, QString failure)
{
    m_checking = false;
    Q_EMIT checkingChanged();
    if (!m_userWaiting && outcome != Outcome::UpdateAvailable)
        return;
    m_userWaiting = false;
    m_outcome = outcome;
    m_releaseNotes = release ? plainText(release->releaseNotes) : QString();
    m_release = std::move(release);
    m_failure = std::move(failure);
    m_reportVisible = true;
    Q_EMIT reportChanged();
}
