#pragma once

#include "Appcast.h"

#include <QCoro/QCoroTask>
#include <QObject>
#include <QTimer>
#include <QUrl>
#include <QtQmlIntegration>

#include <chrono>

// Looks for newer releases in the update feed: on its own soon after launch and then once a
// day, and when the user asks. A check the user asked for always reports its outcome; one of
// its own only reports a newer release. Nothing is kept between runs.
class UpdaterManager : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_UNCREATABLE("Owned by the application")
    Q_PROPERTY(bool checking READ isChecking NOTIFY checkingChanged)
    // A report waits for the user: a check's outcome, or "checking" while the user waits.
    Q_PROPERTY(bool reportVisible READ isReportVisible NOTIFY reportChanged)
    Q_PROPERTY(Outcome outcome READ outcome NOTIFY reportChanged)
    Q_PROPERTY(QString reportTitle READ reportTitle NOTIFY reportChanged)
    Q_PROPERTY(QString reportText READ reportText NOTIFY reportChanged)
    Q_PROPERTY(QString releaseNotes READ releaseNotes NOTIFY reportChanged)
    Q_PROPERTY(bool canOpenDownloadPage READ canOpenDownloadPage NOTIFY reportChanged)

public:
    enum class Outcome { Checking, UpToDate, UpdateAvailable, Failed };
    Q_ENUM(Outcome)

    struct Settings
    {
        QUrl feedUrl;
        QString currentVersion;
        std::chrono::milliseconds firstCheckDelay;
        std::chrono::milliseconds checkInterval;

        // The feed and version the application was built with; daily checks.
        static Settings fromBuild();
    };

    static constexpr qint64 maxFeedBytes = 4 * 1024 * 1024;

    // Starts the schedule at once.
    explicit UpdaterManager(Settings settings, QObject *parent = nullptr);

    bool isChecking() const { return m_checking; }
    bool isReportVisible() const { return m_reportVisible; }
    Outcome outcome() const { return m_outcome; }
    QString reportTitle() const;
    QString reportText() const;
    QString releaseNotes() const { return m_releaseNotes; }
    bool canOpenDownloadPage() const;
    QUrl downloadPage() const { return m_release ? m_release->downloadPage : QUrl(); }

    // A check whose outcome the user sees. While a check is running it reports that one.
    Q_INVOKABLE void checkForUpdates();
    Q_INVOKABLE void openDownloadPage() const;
    // The user closed the report; a check still running then reports only a newer release.
    Q_INVOKABLE void dismissReport();

Q_SIGNALS:
    void checkingChanged();
    void reportChanged();

private:
    void startCheck();
    QCoro::Task<> runCheck();
    void finishCheck(Outcome outcome, std::optional<Appcast::Item> release, QString failure);

    const Settings m_settings;
    QTimer m_schedule;
    bool m_checking = false;
    bool m_userWaiting = false;
    bool m_reportVisible = false;
    Outcome m_outcome = Outcome::Checking;
    std::optional<Appcast::Item> m_release;
    QString m_releaseNotes;
    QString m_failure;
};
