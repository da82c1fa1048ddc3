#include "Diagnostics.h"

#include <QMutex>
#include <QMutexLocker>
#include <QUrl>

#include <cstdio>

namespace {
QMutex outputMutex;
Diagnostics::Capture *activeCapture = nullptr;

bool isSignatureKey(QStringView key)
{
    return key.compare(u"X-Amz-Signature", Qt::CaseInsensitive) == 0
        || key.compare(u"Signature", Qt::CaseInsensitive) == 0 || key.compare(u"sig", Qt::CaseInsensitive) == 0;
}
}

QString Diagnostics::redactedUrl(const QString &url)
{
    const qsizetype queryStart = url.indexOf(u'?');
    if (queryStart < 0)
        return url;
    const qsizetype fragmentStart = url.indexOf(u'#', queryStart);
    const qsizetype queryEnd = fragmentStart < 0 ? url.size() : fragmentStart;
    // Edited as text, so that everything but the signatures prints exactly as it came.
    QStringList fields = url.mid(queryStart + 1, queryEnd - queryStart - 1).split(u'&');
    for (QString &field : fields) {
        const qsizetype equals = field.indexOf(u'=');
        const QString key = QUrl::fromPercentEncoding(field.left(equals < 0 ? field.size() : equals).toUtf8());
        if (equals >= 0 && isSignatureKey(key))
            field = field.left(equals + 1) + u'…';
    }
    return url.left(queryStart + 1) + fields.join(u'&') + url.mid(queryEnd);
}

void Diagnostics::printLine(const QString &line)
{
    QMutexLocker locker(&outputMutex);
    if (activeCapture) {
        activeCapture->m_lines.append(line);
        return;
    }
    const QByteArray bytes = line.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

Diagnostics::Capture::Capture()
{
    QMutexLocker locker(&outputMutex);
    activeCapture = this;
}

Diagnostics::Capture::~Capture()
{
    QMutexLocker locker(&outputMutex);
    if (activeCapture == this)
        activeCapture = nullptr;
}

QStringList Diagnostics::Capture::lines() const
{
    QMutexLocker locker(&outputMutex);
    return m_lines;
}

void Diagnostics::Capture::clear()
{
    QMutexLocker locker(&outputMutex);
    m_lines.clear();
}
