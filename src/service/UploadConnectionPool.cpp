#include "UploadConnectionPool.h"

#include <QAbstractSocket>
#include <QCoreApplication>
#include <QPointer>

#include <algorithm>

namespace {
constexpr int maxIdlePerOrigin = 2;
}

UploadConnectionPool &UploadConnectionPool::instance()
{
    static QPointer<UploadConnectionPool> pool;
    if (!pool)
        pool = new UploadConnectionPool(QCoreApplication::instance());
    return *pool;
}

UploadConnection *UploadConnectionPool::take(const UploadConnection::Origin &origin, bool fresh)
{
    for (qsizetype i = 0; !fresh && i < m_idle.size(); ++i) {
        UploadConnection *connection = m_idle[i];
        if (connection->origin() == origin) {
            m_idle.removeAt(i);
            disconnect(connection->socket(), nullptr, this, nullptr);
            return connection;
        }
    }
    return new UploadConnection(origin, this);
}

void UploadConnectionPool::giveBack(UploadConnection *connection)
{
    connection->wasUsed = true;
    if (!connection->isReady()) {
        discard(connection);
        return;
    }
    // An idle connection hears nothing until the next request: data or a close from the
    // peer mean it can serve no other.
    QAbstractSocket *socket = connection->socket();
    const auto drop = [this, connection] { discard(connection); };
    connect(socket, &QIODevice::readyRead, this, drop);
    connect(socket, &QAbstractSocket::disconnected, this, drop);
    connect(socket, &QAbstractSocket::errorOccurred, this, drop);
    m_idle.append(connection);
    const auto sameOrigin = [&](const UploadConnection *other) { return other->origin() == connection->origin(); };
    if (std::count_if(m_idle.begin(), m_idle.end(), sameOrigin) > maxIdlePerOrigin)
        discard(*std::find_if(m_idle.begin(), m_idle.end(), sameOrigin));
}

void UploadConnectionPool::discard(UploadConnection *connection)
{
    m_idle.removeOne(connection);
    disconnect(connection->socket(), nullptr, this, nullptr);
    connection->socket()->abort();
    connection->deleteLater();
}
