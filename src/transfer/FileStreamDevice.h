#pragma once

#include "Error.h"

#include <QCoro/QCoroTask>
#include <QFutureWatcher>
#include <QIODevice>
#include <QList>

#include <memory>
#include <optional>

class QFile;

// A local file as a request body that the UI thread can hand to the network without ever
// waiting for the disk: blocks are read on a worker thread, a few blocks ahead of the consumer,
// so at most blocksAhead + 1 blocks are in memory however large the file is.
//
// The body is the file's first size() bytes as of opening. Until the block under the read
// position has arrived, reads return 0 and readyRead() follows. A file that cannot be read or
// has become shorter makes reads fail. Seeking back (the network resends a request from the
// start) is allowed.
class FileStreamDevice : public QIODevice
{
public:
    static constexpr qint64 blockSize = 1024 * 1024;
    // Read ahead of the consumer, so that a fast link never waits for the disk.
    static constexpr qint64 blocksAhead = 4;

    // Null when the file cannot be opened for reading.
    static QCoro::Task<std::unique_ptr<FileStreamDevice>> openFile(QString path);

    bool isSequential() const override { return false; }
    qint64 size() const override { return m_size; }

    // Starts the body over from its first byte, forgetting an earlier read failure.
    void rewind();
    // Why the body could not be delivered, once a read failed.
    const std::optional<Error> &readFailure() const { return m_readFailure; }

protected:
    qint64 readData(char *data, qint64 maxSize) override;
    qint64 writeData(const char *data, qint64 maxSize) override;

private:
    struct Block
    {
        qint64 offset = -1;
        QByteArray bytes;
        std::optional<Error> error;
    };

    FileStreamDevice(std::shared_ptr<QFile> file, qint64 size);

    void requestBlock(qint64 offset);
    void requestNextBlock(qint64 blockOffset);
    void keepBlocksAround(qint64 blockOffset);
    void blockArrived();
    qint64 fail(Error error);

    // Shared with the worker: a read still running when the device goes keeps the file open.
    std::shared_ptr<QFile> m_file;
    qint64 m_size;
    QList<Block> m_blocks; // the block under the read position and the one after it
    QFutureWatcher<Block> m_reading;
    bool m_readInFlight = false; // until its result was taken: at most one read at a time
    std::optional<Error> m_readFailure;
};
