#include "FakeDesktopBus.h"

#include <QDBusArgument>
#include <QDBusUnixFileDescriptor>
#include <QDBusVariant>
#include <QFile>
#include <QStandardPaths>

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace {
const QString servicesConnectionName = QStringLiteral("fake-desktop-services");
const QString portalPath = QStringLiteral("/org/freedesktop/portal/desktop");
}

FakeDesktopBus::~FakeDesktopBus()
{
    for (const QString &name : std::as_const(m_connectionNames) + QStringList{servicesConnectionName})
        QDBusConnection::disconnectFromBus(name);
    for (const int readEnd : std::as_const(m_logindLockReadEnds))
        ::close(readEnd);
    m_daemon.kill();
    m_daemon.waitForFinished();
}

QString FakeDesktopBus::start()
{
    const QString daemon = QStandardPaths::findExecutable(QStringLiteral("dbus-daemon"));
    if (daemon.isEmpty())
        return QStringLiteral("dbus-daemon is not installed (scripts/setup installs it)");
    // Anyone may own any name and call anyone; no service directories, so nothing is activated.
    QFile configuration(m_folder.filePath(QStringLiteral("bus.conf")));
    if (!m_folder.isValid() || !configuration.open(QIODevice::WriteOnly)
        || configuration.write("<busconfig><type>session</type><listen>unix:dir=" + m_folder.path().toUtf8()
                               + "</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow "
                                 "send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/><allow "
                                 "own=\"*\"/></policy></busconfig>\n") < 0)
        return QStringLiteral("cannot write the bus configuration");
    configuration.close();

    // The daemon goes when the test does, even when the test crashes.
    m_daemon.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
    m_daemon.start(daemon, {QStringLiteral("--config-file=") + configuration.fileName(),
                            QStringLiteral("--nofork"), QStringLiteral("--print-address")});
    while (!m_daemon.canReadLine())
        if (!m_daemon.waitForReadyRead(10000))
            return QStringLiteral("dbus-daemon did not start: ") + m_daemon.errorString();
    m_address = QString::fromUtf8(m_daemon.readLine().trimmed());
    m_services = QDBusConnection::connectToBus(m_address, servicesConnectionName);
    if (!m_services.isConnected())
        return QStringLiteral("cannot connect to the bus at ") + m_address;
    return {};
}

QDBusConnection FakeDesktopBus::connect()
{
    m_connectionNames.append(QStringLiteral("fake-desktop-client-%1").arg(m_connectionNames.size()));
    return QDBusConnection::connectToBus(m_address, m_connectionNames.constLast());
}

void FakeDesktopBus::servePortal()
{
    m_services.registerVirtualObject(portalPath, this, QDBusConnection::SubPath);
    m_services.registerService(QStringLiteral("org.freedesktop.portal.Desktop"));
}

void FakeDesktopBus::serveLogind()
{
    m_services.registerVirtualObject(QStringLiteral("/org/freedesktop/login1"), this);
    m_services.registerService(QStringLiteral("org.freedesktop.login1"));
}

bool FakeDesktopBus::handleMessage(const QDBusMessage &message, const QDBusConnection &connection)
{
    const QString method = message.interface() + QLatin1Char('.') + message.member();
    if (method == u"org.freedesktop.portal.Inhibit.Inhibit" && portalHoldsAnswers)
        m_heldCalls.append(message);
    else if (method == u"org.freedesktop.portal.Inhibit.Inhibit")
        grantPortal(message);
    else if (method == u"org.freedesktop.login1.Manager.Inhibit")
        grantLogind(message);
    else if (method == u"org.freedesktop.portal.Request.Close") {
        m_openPortalRequests.removeAll(message.path());
        connection.send(message.createReply());
    } else if (method == u"org.freedesktop.portal.Settings.Read") {
        // Read answers the value wrapped once more than SettingChanged does.
        const QDBusVariant value(QVariant::fromValue(QDBusVariant(m_colorScheme)));
        connection.send(message.createReply(QVariant::fromValue(value)));
    } else
        return false;
    return true;
}

void FakeDesktopBus::grantPortal(const QDBusMessage &call)
{
    const QList<QVariant> arguments = call.arguments();
    const QVariantMap options = qdbus_cast<QVariantMap>(arguments.value(2));
    grantedRequests.append(QStringLiteral("portal Inhibit('%1', %2, {reason: %3})")
                               .arg(arguments.value(0).toString(), arguments.value(1).toString(),
                                    options.value(QStringLiteral("reason")).toString()));
    m_openPortalRequests.append(portalPath + QStringLiteral("/request/test/r%1").arg(grantedRequests.size()));
    m_services.send(call.createReply(QVariant::fromValue(QDBusObjectPath(m_openPortalRequests.constLast()))));
}

void FakeDesktopBus::grantLogind(const QDBusMessage &call)
{
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
        qFatal("no pipe for a logind lock");
    const QList<QVariant> arguments = call.arguments();
    grantedRequests.append(QStringLiteral("logind Inhibit(%1, %2, %3, %4)")
                               .arg(arguments.value(0).toString(), arguments.value(1).toString(),
                                    arguments.value(2).toString(), arguments.value(3).toString()));
    m_logindLockReadEnds.append(ends[0]);
    QDBusUnixFileDescriptor writeEnd;
    writeEnd.giveFileDescriptor(ends[1]);
    m_services.send(call.createReply(QVariant::fromValue(writeEnd)));
}

void FakeDesktopBus::answerHeldCalls()
{
    for (const QDBusMessage &call : std::exchange(m_heldCalls, {}))
        grantPortal(call);
}

int FakeDesktopBus::activeInhibitions() const
{
    qsizetype held = m_openPortalRequests.size();
    // A lock is held while some copy of its write end is open.
    for (const int readEnd : m_logindLockReadEnds) {
        pollfd lock{readEnd, POLLIN, 0};
        held += !(::poll(&lock, 1, 0) == 1 && (lock.revents & POLLHUP));
    }
    return int(held);
}

void FakeDesktopBus::setColorScheme(uint colorScheme)
{
    m_colorScheme = colorScheme;
    QDBusMessage changed = QDBusMessage::createSignal(portalPath, QStringLiteral("org.freedesktop.portal.Settings"),
                                                      QStringLiteral("SettingChanged"));
    changed << QStringLiteral("org.freedesktop.appearance") << QStringLiteral("color-scheme")
            << QVariant::fromValue(QDBusVariant(colorScheme));
    m_services.send(changed);
}
