#pragma once

#include "AsyncSleep.h"
#include "CancellationToken.h"
#include "Diagnostics.h"
#include "StorageClient.h"
#include "TaskWaiter.h"
#include "TestHttpServer.h"

#include <QCoreApplication>
#include <QFile>
#include <QList>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

namespace TransferTest {

// Records every wait the transfer asks for, in nanoseconds, and runs waits at `scale` of their
// length (0: at once). `onWait` runs as each wait starts. Restores real waits when it goes.
class SleepRecorder
{
public:
    explicit SleepRecorder(double scale = 0.0)
    {
        AsyncSleep::setTimeScale(scale);
        AsyncSleep::setObserver([this](std::chrono::nanoseconds duration) {
            requested.append(duration.count());
            if (onWait)
                onWait();
        });
    }
    ~SleepRecorder()
    {
        AsyncSleep::setObserver({});
        AsyncSleep::setTimeScale(1.0);
    }
    SleepRecorder(const SleepRecorder &) = delete;
    SleepRecorder &operator=(const SleepRecorder &) = delete;

    QList<qint64> requested;
    std::function<void()> onWait;
};

// Storage requests give up after `timeout` without a byte moving, until it goes.
class StallWindow
{
public:
    explicit StallWindow(std::chrono::seconds timeout) { StorageClient::setStallTimeout(timeout); }
    ~StallWindow() { StorageClient::setStallTimeout(std::chrono::seconds(60)); }
    StallWindow(const StallWindow &) = delete;
    StallWindow &operator=(const StallWindow &) = delete;
};

// Cancels `token` on the next turn of the event loop, once the caller has started waiting.
inline void cancelSoon(CancellationToken &token)
{
    QTimer::singleShot(0, &token, &CancellationToken::cancel);
}

// Collects the progress texts, noting how many diagnostic lines were out when each arrived and
// whether every one came on the UI thread.
struct MessageLog
{
    QStringList texts;
    QList<qsizetype> linesBefore;
    bool onUiThread = true;

    std::function<void(const QString &)> callback(const Diagnostics::Capture &output)
    {
        return [this, &output](const QString &text) {
            texts.append(text);
            linesBefore.append(output.lines().size());
            onUiThread = onUiThread && QThread::currentThread() == QCoreApplication::instance()->thread();
        };
    }
};

inline ScriptedResponse answer(int status)
{
    ScriptedResponse response;
    response.status = status;
    return response;
}

inline QByteArray patterned(qsizetype size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        bytes[i] = char('a' + (i * 7 + i / 26) % 26);
    return bytes;
}

inline QString writeFile(const QTemporaryDir &dir, const QString &name, const QByteArray &contents)
{
    const QString path = dir.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(contents) != contents.size())
        return {};
    return path;
}

}
