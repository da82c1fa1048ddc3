#include "FilePickerRules.h"

#include <QFileInfo>
#include <QLocale>

QString FilePickerRules::fileName(const QUrl &file)
{
    return file.fileName();
}

QString FilePickerRules::kindDescription(const QUrl &file)
{
    return QFileInfo(file.fileName()).suffix().toUpper() + QStringLiteral(" file");
}

bool FilePickerRules::acceptsOnlyZipArchives(const QString &label)
{
    const QLocale locale;
    return locale.toLower(label).contains(locale.toLower(QStringLiteral("fcpxml")));
}

QStringList FilePickerRules::nameFilters(const QString &label)
{
    // Patterns match case-sensitively in some dialogs: archives named on other systems are often
    // in capitals.
    if (acceptsOnlyZipArchives(label))
        return {QStringLiteral("Zip archives (*.zip *.ZIP)")};
    return {};
}

QUrl FilePickerRules::confirmedFile(const QString &label, const QUrl &chosen)
{
    // The dialog's filter can be bypassed (typing a name, some portals): check again.
    if (acceptsOnlyZipArchives(label) && !chosen.isEmpty()
        && QFileInfo(chosen.fileName()).suffix().toLower() != u"zip")
        return QUrl();
    return chosen;
}

QUrl FilePickerRules::droppedFile(const QList<QUrl> &items)
{
    if (items.isEmpty() || !items.constFirst().isLocalFile())
        return QUrl();
    return items.constFirst();
}
