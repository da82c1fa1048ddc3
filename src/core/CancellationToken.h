#pragma once

#include <QObject>

// Cancellation of one asynchronous task. Cancelling is sticky: every request and wait awaited
// under a cancelled token ends at once with the cancellation error, and none is started anew.
// Requests and waits learn of it on the next turn of the event loop, never inside cancel(),
// so the caller of cancel() is not re-entered by the task it cancels.
class CancellationToken : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    bool isCancelled() const { return m_cancelled; }
    void cancel();

Q_SIGNALS:
    void cancelled();

private:
    bool m_cancelled = false;
};
