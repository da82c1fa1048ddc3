#include "FormEncoding.h"

#include <QUuid>

QString FormEncoding::makeFormBoundary()
{
    return QStringLiteral("Boundary-") + QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
}

QByteArray FormEncoding::contentType(const QString &boundary)
{
    return "multipart/form-data; boundary=" + boundary.toUtf8();
}

void FormEncoding::appendFormField(const QString &name, const QString &value,
                                   const QString &boundary, QByteArray &body)
{
    body += "--" + boundary.toUtf8() + "\r\n";
    body += "Content-Disposition: form-data; name=\"" + name.toUtf8() + "\"\r\n\r\n";
    body += value.toUtf8() + "\r\n";
}

void FormEncoding::appendClosingLine(const QString &boundary, QByteArray &body)
{
    body += "--" + boundary.toUtf8() + "--\r\n";
}
