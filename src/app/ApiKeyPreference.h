#pragma once

#include <QString>

// The one persistent item of the app: the preference entry "apiKey". The preferences file
// holds a secret, so it is kept readable by the user only.
class ApiKeyPreference
{
public:
    static inline const QString organizationName = QStringLiteral("Vellumcast");
    static inline const QString applicationName = QStringLiteral("Vellumcast Uploader");

    static QString read();
    static void write(const QString &apiKey);
    static QString filePath();
};
