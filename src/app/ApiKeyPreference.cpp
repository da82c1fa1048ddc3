#include "ApiKeyPreference.h"

#include <QFile>
#include <QSettings>

#include <sys/stat.h>

namespace {
const QString entry = QStringLiteral("apiKey");

QSettings preferences()
{
    return QSettings(ApiKeyPreference::organizationName, ApiKeyPreference::applicationName);
}
}

QString ApiKeyPreference::read()
{
    return preferences().value(entry, QString()).toString();
}

void ApiKeyPreference::write(const QString &apiKey)
{
    // Files created while the key is written must never be readable by others, not even
    // for the moment between their creation and a chmod.
    const mode_t previousMask = ::umask(0077);
    {
        QSettings settings = preferences();
        settings.setValue(entry, apiKey);
        settings.sync();
    }
    ::umask(previousMask);
    QFile::setPermissions(filePath(), QFile::ReadOwner | QFile::WriteOwner);
}

QString ApiKeyPreference::filePath()
{
    return preferences().fileName();
}
