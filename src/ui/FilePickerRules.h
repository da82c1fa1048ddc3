#pragma once

#include <QList>
#include <QObject>
#include <QUrl>
#include <QtQmlIntegration>

// What the file pickers take from an open-file dialog or a drop, and how they name a file.
// An empty URL means "no file".
class FilePickerRules : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON

public:
    using QObject::QObject;

    Q_INVOKABLE static bool isChosen(const QUrl &file) { return !file.isEmpty(); }
    // The last path component.
    Q_INVOKABLE static QString fileName(const QUrl &file);
    // The extension in capitals followed by " file", as in "MOV file".
    Q_INVOKABLE static QString kindDescription(const QUrl &file);

    // A picker whose label names FCPXML archives offers, and keeps, only zip files.
    static bool acceptsOnlyZipArchives(const QString &label);
    // The dialog's filters for a picker labelled `label`; none means any file.
    Q_INVOKABLE static QStringList nameFilters(const QString &label);
    // What a picker labelled `label` stores when the dialog is confirmed with `chosen`.
    Q_INVOKABLE static QUrl confirmedFile(const QString &label, const QUrl &chosen);

    // The file a drop delivers: its first item, when that is a local file.
    Q_INVOKABLE static QUrl droppedFile(const QList<QUrl> &items);
};
