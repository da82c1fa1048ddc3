#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

// A D-Bus daemon of the test's own on a socket in a temporary folder, so no service of the
// machine can be reached or started through it, and the desktop services the app talks to on
// it: the portal's Inhibit, Request and Settings, and logind's Inhibit. The services answer
// from a connection of their own, so calls go through the daemon like any other.
class FakeDesktopBus : public QDBusVirtualObject
{
public:
    ~FakeDesktopBus() override;

    // Empty when it is up; otherwise why not.
    QString start();
    QString address() const { return m_address; }
    // A further client connection to the bus.
    QDBusConnection connect();

    void servePortal();
    void serveLogind();

    // The portal keeps its answers to Inhibit back until answerHeldCalls().
    bool portalHoldsAnswers = false;
    void answerHeldCalls();
    qsizetype heldCallCount() const { return m_heldCalls.size(); }

    // The calls granted, as the services read them.
    QStringList grantedRequests;
    int activeInhibitions() const;

    // 0 no preference, 1 dark, 2 light; a change is announced as the portal does.
    void setColorScheme(uint colorScheme);

    QString introspect(const QString &) const override { return {}; }
    bool handleMessage(const QDBusMessage &message, const QDBusConnection &connection) override;

private:
    void grantPortal(const QDBusMessage &call);
    void grantLogind(const QDBusMessage &call);

    QTemporaryDir m_folder;
    QProcess m_daemon;
    QString m_address;
    QDBusConnection m_services{QString()}; // the connection the services answer from
    QStringList m_connectionNames;
    QList<QDBusMessage> m_heldCalls;
    QStringList m_openPortalRequests;
    QList<int> m_logindLockReadEnds; // each lock is the write end of its pipe
    uint m_colorScheme = 0;
};
