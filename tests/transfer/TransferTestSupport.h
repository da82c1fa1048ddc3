#pragma once

#include "AsyncSleep.h"
#include "StorageClient.h"
#include "TaskWaiter.h"
#include "TestHttpServer.h"

#include <QCoreApplication>
#include <QList>
#include <QThread>

#include <chrono>
#include <functional>

namespace TransferTest {

// Records every wait the transfer asks for, in nanoseconds, and runs waits at `scale` of their
// length (0: at once). Restores real waits when it goes.
class SleepRecorder
{
public:
    explicit SleepRecorder(double scale = 0.0)
    {
        AsyncSleep::setTimeScale(scale);
        AsyncSleep::setObserver([this](std::chrono::nanoseconds duration) { requested.append(duration.count()); });
    }
    ~SleepRecorder()
    {
        AsyncSleep::setObserver({});
        AsyncSleep::setTimeScale(1.0);
    }
    SleepRecorder(const SleepRecorder &) = delete;
    SleepRecorder &operator=(const SleepRecorder &) = delete;

    QList<qint64> requested;
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

// Collects the progress texts, noting whether every one came on the UI thread.
struct MessageLog
{
    QStringList texts;
    bool onUiThread = true;

    std::function<void(const QString &)> callback()
    {
        return [this](const QString &text) {
            texts.append(text);
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

}
