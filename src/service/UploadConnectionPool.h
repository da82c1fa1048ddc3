#pragma once

#include "UploadConnection.h"

#include <QList>
#include <QObject>

// The process's idle upload connections, a few per origin, on the UI thread.
class UploadConnectionPool : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    static UploadConnectionPool &instance();

    // An idle connection to `origin` unless `fresh`, otherwise a new one.
    UploadConnection *take(const UploadConnection::Origin &origin, bool fresh);
    // Keeps a connection that has served its request for the next one, if it is still usable.
    void giveBack(UploadConnection *connection);
    void discard(UploadConnection *connection);

private:
    QList<UploadConnection *> m_idle;
};
