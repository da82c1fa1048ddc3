#include "SleepInhibitor.h"

#include <QCoreApplication>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QVariantMap>

namespace {
const QString portalService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString portalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString portalInhibitInterface = QStringLiteral("org.freedesktop.portal.Inhibit");
const QString portalRequestInterface = QStringLiteral("org.freedesktop.portal.Request");
// The portal's flag for suspending; logging out and idling stay the user's business.
constexpr uint portalSuspendFlag = 4;

const QString logindService = QStringLiteral("org.freedesktop.login1");
const QString logindPath = QStringLiteral("/org/freedesktop/login1");
const QString logindManagerInterface = QStringLiteral("org.freedesktop.login1.Manager");

// The portal answers the handle of a request object, logind the descriptor of a lock.
const QString portalHandleSignature = QStringLiteral("o");
const QString logindLockSignature = QStringLiteral("h");

void closePortalRequest(const QDBusConnection &sessionBus, const QDBusObjectPath &request)
{
    sessionBus.send(QDBusMessage::createMethodCall(portalService, request.path(), portalRequestInterface,
                                                   QStringLiteral("Close")));
}

bool grants(const QDBusMessage &answer, const QString &signature)
{
    return answer.type() == QDBusMessage::ReplyMessage && answer.signature() == signature;
}
}

SleepInhibitor::SleepInhibitor(QString reason, QObject *parent)
    : SleepInhibitor(std::move(reason), QDBusConnection::sessionBus(), QDBusConnection::systemBus(), parent)
{
}

SleepInhibitor::SleepInhibitor(QString reason, QDBusConnection sessionBus, QDBusConnection systemBus,
                               QObject *parent)
    : QObject(parent)
    , m_reason(std::move(reason))
    , m_sessionBus(std::move(sessionBus))
    , m_systemBus(std::move(systemBus))
{
}

SleepInhibitor::~SleepInhibitor()
{
    letGo();
    if (!m_pendingCall)
        return;
    // The answer still comes: whatever it grants is given back at once. A logind lock needs
    // nothing more, it is closed with the answer.
    QDBusPendingCallWatcher *orphan = m_pendingCall;
    orphan->disconnect(this);
    orphan->setParent(nullptr);
    connect(orphan, &QDBusPendingCallWatcher::finished, orphan,
            [sessionBus = m_sessionBus](QDBusPendingCallWatcher *call) {
                const QDBusMessage answer = call->reply();
                if (grants(answer, portalHandleSignature))
                    closePortalRequest(sessionBus, answer.arguments().constFirst().value<QDBusObjectPath>());
                call->deleteLater();
            });
}

void SleepInhibitor::acquire()
{
    m_wanted = true;
    if (m_pendingCall || !m_portalRequest.path().isEmpty() || m_logindLock.isValid())
        return;
    askPortal();
}

void SleepInhibitor::release()
{
    m_wanted = false;
    letGo();
}

void SleepInhibitor::askPortal()
{
    if (!m_sessionBus.isConnected()) {
        askLogind();
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(portalService, portalPath, portalInhibitInterface,
                                                       QStringLiteral("Inhibit"));
    const QVariantMap options{{QStringLiteral("reason"), m_reason}};
    call << QString() << portalSuspendFlag << options;
    await(m_sessionBus, call, &SleepInhibitor::portalAnswered);
}

void SleepInhibitor::askLogind()
{
    if (!m_systemBus.isConnected())
        return;
    QDBusMessage call = QDBusMessage::createMethodCall(logindService, logindPath, logindManagerInterface,
                                                       QStringLiteral("Inhibit"));
    call << QStringLiteral("sleep") << QCoreApplication::applicationName() << m_reason
         << QStringLiteral("block");
    await(m_systemBus, call, &SleepInhibitor::logindAnswered);
}

void SleepInhibitor::await(const QDBusConnection &bus, const QDBusMessage &call,
                           void (SleepInhibitor::*answered)(const QDBusMessage &))
{
    m_pendingCall = new QDBusPendingCallWatcher(bus.asyncCall(call), this);
    connect(m_pendingCall, &QDBusPendingCallWatcher::finished, this,
            [this, answered](QDBusPendingCallWatcher *call) {
                call->deleteLater();
                m_pendingCall.clear();
                (this->*answered)(call->reply());
            });
}

void SleepInhibitor::portalAnswered(const QDBusMessage &answer)
{
    if (!grants(answer, portalHandleSignature)) {
        if (m_wanted)
            askLogind();
        return;
    }
    m_portalRequest = answer.arguments().constFirst().value<QDBusObjectPath>();
    if (!m_wanted)
        letGo();
}

void SleepInhibitor::logindAnswered(const QDBusMessage &answer)
{
    if (!grants(answer, logindLockSignature))
        return;
    m_logindLock = answer.arguments().constFirst().value<QDBusUnixFileDescriptor>();
    if (!m_wanted)
        letGo();
}

void SleepInhibitor::letGo()
{
    if (!m_portalRequest.path().isEmpty()) {
        closePortalRequest(m_sessionBus, m_portalRequest);
        m_portalRequest = QDBusObjectPath();
    }
    // Closing our copy of the descriptor ends the lock.
    m_logindLock = QDBusUnixFileDescriptor();
}
