#pragma once

#include <QDBusConnection>
#include <QDBusAbstractAdaptor>
#include <QDBusContext>
#include <QDBusVariant>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusUnixFileDescriptor>
#include <QList>
#include <QObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QVariantMap>

#include <memory>

// A stand-in for the desktop portal's Inhibit interface and the Request objects it hands out.
class FakePortal : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.Inhibit")

public:
    struct Inhibition
    {
        QString window;
        uint flags = 0;
        QVariantMap options;
        QString handle;
        bool closed = false;
    };

    explicit FakePortal(QDBusConnection connection);

    // Answers the portal's error, as one without an inhibit backend does.
    bool refuses = false;
    // Keeps the answers back until answerHeldCalls().
    bool holdsAnswers = false;
    void answerHeldCalls();
    int heldCallCount() const { return int(m_heldCalls.size()); }

    QList<Inhibition> inhibitions;
    int activeInhibitions() const;

public Q_SLOTS:
    QDBusObjectPath Inhibit(const QString &window, uint flags, const QVariantMap &options);

private:
    friend class FakePortalRequest;
    QDBusObjectPath grant(const QString &window, uint flags, const QVariantMap &options);

    QDBusConnection m_connection;
    QList<QDBusMessage> m_heldCalls;
};

// One granted inhibition, at the handle the portal answered.
class FakePortalRequest : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.Request")

public:
    FakePortalRequest(FakePortal &portal, qsizetype index);

public Q_SLOTS:
    void Close();

private:
    FakePortal &m_portal;
    qsizetype m_index;
};

// The portal's Settings interface, serving the appearance's "color-scheme" alone.
class FakePortalSettings : public QDBusAbstractAdaptor
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.Settings")

public:
    FakePortalSettings(QObject *portal, QDBusConnection connection);

    // 0 no preference, 1 dark, 2 light; a change is announced as the portal does.
    void setColorScheme(uint colorScheme);

public Q_SLOTS:
    QDBusVariant Read(const QString &settingsNamespace, const QString &key);

private:
    QDBusConnection m_connection;
    uint m_colorScheme = 0;
};

// A stand-in for logind's Manager.Inhibit: each lock is the write end of a pipe whose read end
// the fake keeps, so it sees when every copy of the lock has been closed.
class FakeLogind : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Manager")

public:
    struct Lock
    {
        QString what;
        QString who;
        QString why;
        QString mode;
        int readEnd = -1;
    };

    ~FakeLogind() override;

    QList<Lock> locks;
    bool isReleased(const Lock &lock) const;
    int activeLocks() const;

public Q_SLOTS:
    QDBusUnixFileDescriptor Inhibit(const QString &what, const QString &who, const QString &why,
                                    const QString &mode);
};

// A D-Bus daemon of the test's own on a socket in a temporary folder: no service of the
// machine can be reached or started through it. The fakes are served from a connection of
// their own, so calls to them go through the daemon like any other.
class FakeDesktopBus
{
public:
    static inline const QString portalService = QStringLiteral("org.freedesktop.portal.Desktop");
    static inline const QString logindService = QStringLiteral("org.freedesktop.login1");

    FakeDesktopBus();
    ~FakeDesktopBus();

    // Empty when it is up; otherwise why not.
    QString start();
    QString address() const { return m_address; }
    // A further client connection to the bus, under a name of its own.
    QDBusConnection connect(const QString &connectionName);

    FakePortal &servePortal();
    FakePortalSettings &portalSettings() { return *m_portalSettings; }
    FakeLogind &serveLogind();

private:
    QTemporaryDir m_folder;
    QProcess m_daemon;
    QString m_address;
    std::unique_ptr<FakePortal> m_portal;
    FakePortalSettings *m_portalSettings = nullptr;
    std::unique_ptr<FakeLogind> m_logind;
    QStringList m_connectionNames;
};
