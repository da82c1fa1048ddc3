#pragma once

#include <QDBusConnection>

// Where the desktop runs a file chooser portal, the file dialogs are the desktop's own, reached
// through it (Qt's "xdgdesktopportal" platform theme); elsewhere they are Qt's.
class PortalFileDialogs
{
public:
    // Before the application object exists: asks Qt for the portal theme, unless the user has
    // chosen a theme. Answers whether it did.
    static bool requestPortalTheme();

    // Once the application object exists: Qt's own dialogs until the portal has answered, for
    // without a portal the portal theme rejects every dialog at once.
    static void fallBackUntilPortalAnswers(const QDBusConnection &sessionBus = QDBusConnection::sessionBus());
};
