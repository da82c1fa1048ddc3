#pragma once

#include <QStringList>

// The video formats as the user sees them, and the short values the service knows them by.
class FileFormat
{
public:
    static inline const QString twoD = QStringLiteral("2D");
    static inline const QString stereoscopicLeftRight = QStringLiteral("Stereoscopic Left/Right");
    static inline const QString stereoscopicTopBottom = QStringLiteral("Stereoscopic Top/Bottom");
    static inline const QString spatial = QStringLiteral("Spatial (MV-HEVC)");
    static inline const QString appleImmersive = QStringLiteral("Apple Immersive Video (.aivu or ProRes)");
    static inline const QString separate = QStringLiteral("Separate");

    // In the order the upload screen offers them.
    static QStringList fileFormatOptions();
    // Exact, case-sensitive; any unknown label is sent as "SBS".
    static QString fileFormat3DValue(const QString &label);
};
