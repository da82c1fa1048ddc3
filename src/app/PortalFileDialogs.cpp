#include "PortalFileDialogs.h"

#include <QCoreApplication>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>

namespace {
const char themeVariable[] = "QT_QPA_PLATFORMTHEME";
}

bool PortalFileDialogs::requestPortalTheme()
{
    if (qEnvironmentVariableIsSet(themeVariable))
        return false;
    // The portal theme keeps the desktop's own theme for everything but the dialogs.
    qputenv(themeVariable, "xdgdesktopportal");
    return true;
}

void PortalFileDialogs::fallBackUntilPortalAnswers(const QDBusConnection &sessionBus)
{
    QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs, true);
    if (!sessionBus.isConnected())
        return;
    QDBusMessage version = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.portal.Desktop"), QStringLiteral("/org/freedesktop/portal/desktop"),
        QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    version << QStringLiteral("org.freedesktop.portal.FileChooser") << QStringLiteral("version");
    auto *answer = new QDBusPendingCallWatcher(sessionBus.asyncCall(version), QCoreApplication::instance());
    QObject::connect(answer, &QDBusPendingCallWatcher::finished, answer, [answer] {
        if (!answer->isError())
            QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs, false);
        answer->deleteLater();
    });
}
