#pragma once

#include <QObject>
#include <QString>

// The upload screen's log: one message per line, only its tail kept. The transfer's progress
// texts go through append, which drops the chatty ones and reads their percentage; the workflow's
// own lines, which carry names the user chose, go through appendLine as they are.
class UploadLog : public QObject
{
    Q_OBJECT

public:
    // In user-perceived characters.
    static constexpr qint64 maxLength = 10000;
    // The count maxLength is in: Qt's grapheme clusters.
    static qint64 userPerceivedLength(const QString &text);

    using QObject::QObject;

    const QString &text() const { return m_text; }
    void clear();

    void append(const QString &message);
    void appendLine(const QString &message);

Q_SIGNALS:
    void textChanged();
    // A progress text told how much of the current file is stored, as a share from 0 to 1.
    void progressReported(double share);

private:
    QString m_text;
};
