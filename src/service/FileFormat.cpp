#include "FileFormat.h"

QStringList FileFormat::fileFormatOptions()
{
    return {twoD, stereoscopicLeftRight, stereoscopicTopBottom, spatial, appleImmersive, separate};
}

QString FileFormat::fileFormat3DValue(const QString &label)
{
    if (label == twoD)
        return QStringLiteral("2D");
    if (label == stereoscopicTopBottom)
        return QStringLiteral("TB");
    if (label == spatial)
        return QStringLiteral("Spatial");
    if (label == separate)
        return QStringLiteral("Separate");
    if (label == appleImmersive)
        return QStringLiteral("AIV");
    return QStringLiteral("SBS");
}
