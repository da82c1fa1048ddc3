#pragma once

#include <QByteArray>
#include <QString>

// multipart/form-data bodies of the service requests: text fields only, written verbatim.
class FormEncoding
{
public:
    // "Boundary-" and a fresh random UUID in upper-case canonical form (45 characters).
    static QString makeFormBoundary();
    static QByteArray contentType(const QString &boundary);
    static void appendFormField(const QString &name, const QString &value, const QString &boundary,
                                QByteArray &body);
    static void appendClosingLine(const QString &boundary, QByteArray &body);
};
