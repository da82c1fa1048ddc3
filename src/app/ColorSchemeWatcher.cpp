#include "ColorSchemeWatcher.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusVariant>
#include <QGuiApplication>

namespace {
const QString portalService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString portalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString settingsInterface = QStringLiteral("org.freedesktop.portal.Settings");
const QString appearanceNamespace = QStringLiteral("org.freedesktop.appearance");
const QString colorSchemeKey = QStringLiteral("color-scheme");

// Read answers the value inside one more variant than SettingChanged carries.
QVariant unwrapped(QVariant value)
{
    while (value.canConvert<QDBusVariant>() && value.userType() == qMetaTypeId<QDBusVariant>())
        value = value.value<QDBusVariant>().variant();
    return value;
}

ColorSchemeWatcher::Preference preferenceFrom(const QVariant &value)
{
    bool isNumber = false;
    const uint number = unwrapped(value).toUInt(&isNumber);
    if (!isNumber || number > uint(ColorSchemeWatcher::Preference::Light))
        return ColorSchemeWatcher::Preference::None;
    return ColorSchemeWatcher::Preference(number);
}

bool isDark(const QPalette &palette)
{
    return palette.color(QPalette::Window).lightness() < 128;
}
}

ColorSchemeWatcher::ColorSchemeWatcher(QObject *parent)
    : ColorSchemeWatcher(QDBusConnection::sessionBus(), parent)
{
}

ColorSchemeWatcher::ColorSchemeWatcher(QDBusConnection sessionBus, QObject *parent)
    : QObject(parent)
    , m_sessionBus(std::move(sessionBus))
{
    if (!m_sessionBus.isConnected())
        return;
    m_sessionBus.connect(portalService, portalPath, settingsInterface, QStringLiteral("SettingChanged"), this,
                         SLOT(settingChanged(QString, QString, QDBusVariant)));
    QDBusMessage read = QDBusMessage::createMethodCall(portalService, portalPath, settingsInterface,
                                                       QStringLiteral("Read"));
    read << appearanceNamespace << colorSchemeKey;
    m_pendingRead = new QDBusPendingCallWatcher(m_sessionBus.asyncCall(read), this);
    connect(m_pendingRead, &QDBusPendingCallWatcher::finished, this, &ColorSchemeWatcher::readAnswered);
}

ColorSchemeWatcher::~ColorSchemeWatcher()
{
    if (m_overridesPlatform)
        QGuiApplication::setPalette(QPalette());
}

void ColorSchemeWatcher::readAnswered(QDBusPendingCallWatcher *call)
{
    call->deleteLater();
    const QDBusMessage answer = call->reply();
    if (answer.type() != QDBusMessage::ReplyMessage || answer.arguments().isEmpty())
        return;
    apply(preferenceFrom(answer.arguments().constFirst()));
}

void ColorSchemeWatcher::settingChanged(const QString &settingsNamespace, const QString &key,
                                        const QDBusVariant &value)
{
    if (settingsNamespace != appearanceNamespace || key != colorSchemeKey)
        return;
    // A change is newer than whatever the first read still answers.
    if (m_pendingRead)
        delete m_pendingRead;
    apply(preferenceFrom(value.variant()));
}

void ColorSchemeWatcher::apply(Preference preference)
{
    if (m_overridesPlatform) {
        QGuiApplication::setPalette(QPalette());
        m_overridesPlatform = false;
    }
    if (preference == Preference::Dark && !isDark(QGuiApplication::palette())) {
        QGuiApplication::setPalette(darkPalette());
        m_overridesPlatform = true;
    }
    if (preference == m_preference)
        return;
    m_preference = preference;
    Q_EMIT preferenceChanged();
}

QPalette ColorSchemeWatcher::darkPalette()
{
    const QColor text(0xec, 0xec, 0xec);
    QPalette dark(QColor(0x3a, 0x3a, 0x3c), QColor(0x2b, 0x2b, 0x2d));
    dark.setColor(QPalette::WindowText, text);
    dark.setColor(QPalette::ButtonText, text);
    dark.setColor(QPalette::Text, text);
    dark.setColor(QPalette::BrightText, Qt::white);
    dark.setColor(QPalette::Base, QColor(0x1e, 0x1e, 0x1f));
    dark.setColor(QPalette::AlternateBase, QColor(0x26, 0x26, 0x28));
    dark.setColor(QPalette::ToolTipBase, QColor(0x3a, 0x3a, 0x3c));
    dark.setColor(QPalette::ToolTipText, text);
    dark.setColor(QPalette::PlaceholderText, QColor(0x8e, 0x8e, 0x93));
    dark.setColor(QPalette::Highlight, QColor(0x0a, 0x84, 0xff));
    dark.setColor(QPalette::HighlightedText, Qt::white);
    dark.setColor(QPalette::Link, QColor(0x0a, 0x84, 0xff));
    dark.setColor(QPalette::Disabled, QPalette::WindowText, QColor(0x7c, 0x7c, 0x80));
    dark.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(0x7c, 0x7c, 0x80));
    dark.setColor(QPalette::Disabled, QPalette::Text, QColor(0x7c, 0x7c, 0x80));
    return dark;
}
