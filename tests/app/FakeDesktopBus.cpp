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
const QString portalService = QStringLiteral("org.freedesktop.portal.Desktop");

// Anyone may own any name and call anyone; no service directories, so nothing is activated.
QByteArray busConfiguration(const QString &socketFolder)
{
    return "<busconfig><type>session</type><listen>unix:dir=" + socketFolder.toUtf8()
            + "</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow send_destination=\"*\" "
              "eavesdrop=\"true\"/><allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n";
}

QDBusConnection services()
{
    return QDBusConnection(servicesConnectionName);
}
}

FakeDesktopBus::~FakeDesktopBus()
{
    for (const QString &name : std::as_const(m_connectionNames))
        QDBusConnection::disconnectFromBus(name);
    QDBusConnection::disconnectFromBus(servicesConnectionName);
    for (const Inhibition &inhibition : std::as_const(inhibitions))
        if (inhibition.lockReadEnd >= 0)
            ::close(inhibition.lockReadEnd);
    m_daemon.kill();
    m_daemon.waitForFinished();
}

QString FakeDesktopBus::start()
{
    const QString daemon = QStandardPaths::findExecutable(QStringLiteral("dbus-daemon"));
    if (daemon.isEmpty())
        return QStringLiteral("dbus-daemon is not installed (scripts/setup installs it)");
    QFile configuration(m_folder.filePath(QStringLiteral("bus.conf")));
    if (!m_folder.isValid() || !configuration.open(QIODevice::WriteOnly)
        || configuration.write(busConfiguration(m_folder.path())) < 0)
        return QStringLiteral("cannot write the bus configuration");
    configuration.close();

    // The daemon goes when the test does, even when the test crashes.
    m_daemon.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
    m_daemon.start(daemon, {QStringLiteral("--config-file=") + configuration.fileName(),
                            QStringLiteral("--nofork"), QStringLiteral("--print-address")});
    while (!m_daemon.canReadLine()) {
        if (!m_daemon.waitForReadyRead(10000))
            return QStringLiteral("dbus-daemon did not start: ") + m_daemon.errorString();
    }
    m_address = QString::fromUtf8(m_daemon.readLine().trimmed());
    if (!QDBusConnection::connectToBus(m_address, servicesConnectionName).isConnected())
        return QStringLiteral("cannot connect to the bus at ") + m_address;
    return {};
}

QDBusConnection FakeDesktopBus::connect(const QString &connectionName)
{
    m_connectionNames.append(connectionName);
    return QDBusConnection::connectToBus(m_address, connectionName);
}

void FakeDesktopBus::servePortal()
{
    services().registerVirtualObject(portalPath, this, QDBusConnection::SubPath);
    services().registerService(portalService);
}

void FakeDesktopBus::serveLogind()
{
    services().registerVirtualObject(QStringLiteral("/org/freedesktop/login1"), this);
    services().registerService(QStringLiteral("org.freedesktop.login1"));
}

bool FakeDesktopBus::handleMessage(const QDBusMessage &message, const QDBusConnection &connection)
{
    const QString method = message.interface() + QLatin1Char('.') + message.member();
    if (method == u"org.freedesktop.portal.Inhibit.Inhibit" && portalRefuses)
        connection.send(message.createErrorReply(QDBusError::UnknownMethod, QStringLiteral("No inhibit backend")));
    else if (method == u"org.freedesktop.portal.Inhibit.Inhibit" && portalHoldsAnswers)
        m_heldCalls.append(message);
    else if (method == u"org.freedesktop.portal.Inhibit.Inhibit")
        grantPortal(message);
    else if (method == u"org.freedesktop.login1.Manager.Inhibit")
        grantLogind(message);
    else if (method == u"org.freedesktop.portal.Request.Close") {
        for (Inhibition &inhibition : inhibitions)
            inhibition.closed = inhibition.closed || inhibition.portalHandle == message.path();
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
    QStringList optionTexts;
    for (auto option = options.cbegin(); option != options.cend(); ++option)
        optionTexts.append(option.key() + QStringLiteral(": ") + option.value().toString());
    const QString handle = portalPath + QStringLiteral("/request/test/r%1").arg(inhibitions.size());
    grantedRequests.append(QStringLiteral("portal Inhibit('%1', %2, {%3})")
                               .arg(arguments.value(0).toString(), arguments.value(1).toString(),
                                    optionTexts.join(u", ")));
    inhibitions.append({handle});
    services().send(call.createReply(QVariant::fromValue(QDBusObjectPath(handle))));
}

void FakeDesktopBus::grantLogind(const QDBusMessage &call)
{
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        services().send(call.createErrorReply(QDBusError::Failed, QStringLiteral("no pipe")));
        return;
    }
    QStringList arguments;
    for (const QVariant &argument : call.arguments())
        arguments.append(argument.toString());
    grantedRequests.append(QStringLiteral("logind Inhibit(%1)").arg(arguments.join(u", ")));
    inhibitions.append({QString(), ends[0]});
    QDBusUnixFileDescriptor writeEnd;
    writeEnd.giveFileDescriptor(ends[1]);
    services().send(call.createReply(QVariant::fromValue(writeEnd)));
}

void FakeDesktopBus::answerHeldCalls()
{
    for (const QDBusMessage &call : std::exchange(m_heldCalls, {}))
        grantPortal(call);
}

bool FakeDesktopBus::isReleased(const Inhibition &inhibition) const
{
    if (inhibition.lockReadEnd < 0)
        return inhibition.closed;
    pollfd readEnd{inhibition.lockReadEnd, POLLIN, 0};
    return ::poll(&readEnd, 1, 0) == 1 && (readEnd.revents & POLLHUP);
}

int FakeDesktopBus::activeInhibitions() const
{
    return int(std::count_if(inhibitions.cbegin(), inhibitions.cend(),
                             [this](const Inhibition &inhibition) { return !isReleased(inhibition); }));
}

void FakeDesktopBus::setColorScheme(uint colorScheme)
{
    m_colorScheme = colorScheme;
    QDBusMessage changed = QDBusMessage::createSignal(portalPath, QStringLiteral("org.freedesktop.portal.Settings"),
                                                      QStringLiteral("SettingChanged"));
    changed << QStringLiteral("org.freedesktop.appearance") << QStringLiteral("color-scheme")
            << QVariant::fromValue(QDBusVariant(colorScheme));
    services().send(changed);
}
