#include "Diagnostics.h"

#include <QMutex>
#include <QMutexLocker>

#include <cstdio>

namespace {
QMutex outputMutex;
Diagnostics::Capture *activeCapture = nullptr;
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
