#pragma once

#include <QDBusConnection>
#include <QDBusObjectPath>
#include <QDBusUnixFileDescriptor>
#include <QObject>
#include <QPointer>

class QDBusMessage;
class QDBusPendingCallWatcher;

// Asks the desktop not to suspend the machine while held: through the desktop portal, or,
// where there is none, through logind's inhibitor lock. Everything goes over D-Bus without
// blocking; where neither answers (no session bus, a bare window manager, a container) holding
// it does nothing, and says nothing.
class SleepInhibitor : public QObject
{
    Q_OBJECT

public:
    // On the user's session bus and the system bus.
    explicit SleepInhibitor(QString reason, QObject *parent = nullptr);
    SleepInhibitor(QString reason, QDBusConnection sessionBus, QDBusConnection systemBus,
                   QObject *parent = nullptr);
    // Lets go of what is held, and of what is still being asked for.
    ~SleepInhibitor() override;

    // Both may be called any number of times: the last call wins once the desktop has answered.
    void acquire();
    void release();

private:
    void askPortal();
    void askLogind();
    void portalAnswered(const QDBusMessage &answer);
    void logindAnswered(const QDBusMessage &answer);
    void letGo();
    void await(const QDBusConnection &bus, const QDBusMessage &call,
               void (SleepInhibitor::*answered)(const QDBusMessage &));

    const QString m_reason;
    QDBusConnection m_sessionBus;
    QDBusConnection m_systemBus;

    bool m_wanted = false;
    QPointer<QDBusPendingCallWatcher> m_pendingCall;
    // What is held: a portal request to close, or a logind lock that ends when closed.
    QDBusObjectPath m_portalRequest;
    QDBusUnixFileDescriptor m_logindLock;
};
