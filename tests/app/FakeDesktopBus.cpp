#include "FakeDesktopBus.h"

#include <QDBusArgument>
#include <QDBusError>
#include <QFile>
#include <QStandardPaths>

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace {
const QString servicesConnectionName = QStringLiteral("fake-desktop-services");

// Anyone may own any name and call anyone; no service directories, so nothing is activated.
QByteArray busConfiguration(const QString &socketFolder)
{
    return "<busconfig>\n"
           "  <type>session</type>\n"
           "  <listen>unix:dir=" + socketFolder.toUtf8() + "</listen>\n"
           "  <auth>EXTERNAL</auth>\n"
           "  <policy context=\"default\">\n"
           "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
           "    <allow eavesdrop=\"true\"/>\n"
           "    <allow own=\"*\"/>\n"
           "  </policy>\n"
           "</busconfig>\n";
}
}

FakePortal::FakePortal(QDBusConnection connection)
    : m_connection(std::move(connection))
{
}

QDBusObjectPath FakePortal::Inhibit(const QString &window, uint flags, const QVariantMap &options)
{
    if (refuses) {
        sendErrorReply(QDBusError::UnknownMethod, QStringLiteral("No inhibit backend"));
        return {};
    }
    if (holdsAnswers) {
        setDelayedReply(true);
        m_heldCalls.append(message());
        return {};
    }
    return grant(window, flags, options);
}

void FakePortal::answerHeldCalls()
{
    for (const QDBusMessage &call : std::exchange(m_heldCalls, {})) {
        const QList<QVariant> arguments = call.arguments();
        const auto options = qdbus_cast<QVariantMap>(arguments.value(2));
        const QDBusObjectPath handle = grant(arguments.value(0).toString(), arguments.value(1).toUInt(), options);
        m_connection.send(call.createReply(QVariant::fromValue(handle)));
    }
}

QDBusObjectPath FakePortal::grant(const QString &window, uint flags, const QVariantMap &options)
{
    const qsizetype index = inhibitions.size();
    const QString handle = QStringLiteral("/org/freedesktop/portal/desktop/request/test/r%1").arg(index);
    inhibitions.append({window, flags, options, handle, false});
    m_connection.registerObject(handle, new FakePortalRequest(*this, index), QDBusConnection::ExportAllSlots);
    return QDBusObjectPath(handle);
}

int FakePortal::activeInhibitions() const
{
    return int(std::count_if(inhibitions.cbegin(), inhibitions.cend(),
                             [](const Inhibition &inhibition) { return !inhibition.closed; }));
}

FakePortalRequest::FakePortalRequest(FakePortal &portal, qsizetype index)
    : QObject(&portal)
    , m_portal(portal)
    , m_index(index)
{
}

void FakePortalRequest::Close()
{
    FakePortal::Inhibition &inhibition = m_portal.inhibitions[m_index];
    inhibition.closed = true;
    m_portal.m_connection.unregisterObject(inhibition.handle);
    deleteLater();
}

FakePortalSettings::FakePortalSettings(QObject *portal, QDBusConnection connection)
    : QDBusAbstractAdaptor(portal)
    , m_connection(std::move(connection))
{
}

void FakePortalSettings::setColorScheme(uint colorScheme)
{
    m_colorScheme = colorScheme;
    QDBusMessage changed = QDBusMessage::createSignal(QStringLiteral("/org/freedesktop/portal/desktop"),
                                                      QStringLiteral("org.freedesktop.portal.Settings"),
                                                      QStringLiteral("SettingChanged"));
    changed << QStringLiteral("org.freedesktop.appearance") << QStringLiteral("color-scheme")
            << QVariant::fromValue(QDBusVariant(colorScheme));
    m_connection.send(changed);
}

QDBusVariant FakePortalSettings::Read(const QString &settingsNamespace, const QString &key)
{
    if (settingsNamespace != QStringLiteral("org.freedesktop.appearance") || key != QStringLiteral("color-scheme"))
        return QDBusVariant(QString());
    // Read answers the value wrapped once more.
    return QDBusVariant(QVariant::fromValue(QDBusVariant(m_colorScheme)));
}

FakeLogind::~FakeLogind()
{
    for (const Lock &lock : std::as_const(locks))
        ::close(lock.readEnd);
}

QDBusUnixFileDescriptor FakeLogind::Inhibit(const QString &what, const QString &who, const QString &why,
                                            const QString &mode)
{
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        sendErrorReply(QDBusError::Failed, QStringLiteral("no pipe"));
        return {};
    }
    locks.append({what, who, why, mode, ends[0]});
    QDBusUnixFileDescriptor writeEnd;
    writeEnd.giveFileDescriptor(ends[1]);
    return writeEnd;
}

bool FakeLogind::isReleased(const Lock &lock) const
{
    pollfd readEnd{lock.readEnd, POLLIN, 0};
    return ::poll(&readEnd, 1, 0) == 1 && (readEnd.revents & POLLHUP);
}

int FakeLogind::activeLocks() const
{
    return int(std::count_if(locks.cbegin(), locks.cend(),
                             [this](const Lock &lock) { return !isReleased(lock); }));
}

FakeDesktopBus::FakeDesktopBus() = default;

FakeDesktopBus::~FakeDesktopBus()
{
    for (const QString &name : std::as_const(m_connectionNames))
        QDBusConnection::disconnectFromBus(name);
    QDBusConnection::disconnectFromBus(servicesConnectionName);
    m_portal.reset();
    m_logind.reset();
    m_daemon.kill();
    m_daemon.waitForFinished();
}

QString FakeDesktopBus::start()
{
    const QString daemon = QStandardPaths::findExecutable(QStringLiteral("dbus-daemon"));
    if (daemon.isEmpty())
        return QStringLiteral("dbus-daemon is not installed (scripts/setup installs it)");
    if (!m_folder.isValid())
        return QStringLiteral("no temporary folder");
    QFile configuration(m_folder.filePath(QStringLiteral("bus.conf")));
    if (!configuration.open(QIODevice::WriteOnly) || configuration.write(busConfiguration(m_folder.path())) < 0)
        return QStringLiteral("cannot write the bus configuration");
    configuration.close();

    // The daemon goes when the test does, even when the test crashes.
    m_daemon.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
    m_daemon.start(daemon, {QStringLiteral("--config-file=") + configuration.fileName(),
                            QStringLiteral("--nofork"), QStringLiteral("--print-address")});
    while (!m_daemon.canReadLine()) {
        if (!m_daemon.waitForReadyRead(10000))
            return QStringLiteral("dbus-daemon did not start: ") + m_daemon.errorString() + u' '
                    + QString::fromLocal8Bit(m_daemon.readAllStandardError());
    }
    m_address = QString::fromUtf8(m_daemon.readLine().trimmed());
    return QDBusConnection::connectToBus(m_address, servicesConnectionName).isConnected()
            ? QString()
            : QStringLiteral("cannot connect to the bus at ") + m_address;
}

QDBusConnection FakeDesktopBus::connect(const QString &connectionName)
{
    m_connectionNames.append(connectionName);
    return QDBusConnection::connectToBus(m_address, connectionName);
}

FakePortal &FakeDesktopBus::servePortal()
{
    QDBusConnection services(servicesConnectionName);
    m_portal = std::make_unique<FakePortal>(services);
    m_portalSettings = new FakePortalSettings(m_portal.get(), services);
    services.registerObject(QStringLiteral("/org/freedesktop/portal/desktop"), m_portal.get(),
                            QDBusConnection::ExportAllSlots | QDBusConnection::ExportAdaptors);
    services.registerService(portalService);
    return *m_portal;
}

FakeLogind &FakeDesktopBus::serveLogind()
{
    QDBusConnection services(servicesConnectionName);
    m_logind = std::make_unique<FakeLogind>();
    services.registerObject(QStringLiteral("/org/freedesktop/login1"), m_logind.get(),
                            QDBusConnection::ExportAllSlots);
    services.registerService(logindService);
    return *m_logind;
}
