#include "FileStreamDevice.h"

#include "FileRange.h"

#include <QCoro/QCoroFuture>
#include <QFile>
#include <QtConcurrent>

#include <algorithm>
#include <cstring>

QCoro::Task<std::unique_ptr<FileStreamDevice>> FileStreamDevice::openFile(QString path)
{
    auto file = std::make_shared<QFile>(path);
    // Started outside the co_await: GCC 12 destroys the captures of a lambda written inside
    // a co_await expression twice.
    QFuture<qint64> opening = QtConcurrent::run([file] {
        return file->open(QIODevice::ReadOnly | QIODevice::Unbuffered) ? file->size() : -1;
    });
    const qint64 size = co_await opening;
    if (size < 0)
        co_return std::unique_ptr<FileStreamDevice>();
    std::unique_ptr<FileStreamDevice> device(new FileStreamDevice(std::move(file), size));
    device->QIODevice::open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    co_return device;
}

FileStreamDevice::FileStreamDevice(std::shared_ptr<QFile> file, qint64 size)
    : m_file(std::move(file))
    , m_size(size)
{
    connect(&m_reading, &QFutureWatcherBase::finished, this, &FileStreamDevice::blockArrived);
}

qint64 FileStreamDevice::readData(char *data, qint64 maxSize)
{
    const qint64 position = pos();
    if (position >= m_size)
        return 0;
    const qint64 blockOffset = position - position % blockSize;
    keepBlocksAround(blockOffset);
    const auto block = std::find_if(m_blocks.cbegin(), m_blocks.cend(),
                                    [blockOffset](const Block &b) { return b.offset == blockOffset; });
    if (block == m_blocks.cend()) {
        requestBlock(blockOffset);
        return 0;
    }
    if (block->error)
        return fail(*block->error);
    const qint64 inBlock = position - blockOffset;
    const qint64 available = block->bytes.size() - inBlock;
    if (available <= 0) {
        return fail(Error(fileErrorDomain, QFileDevice::ReadError,
                          QStringLiteral("The file became shorter while it was being sent.")));
    }
    const qint64 count = std::min(maxSize, available);
    std::memcpy(data, block->bytes.constData() + inBlock, size_t(count));
    requestNextBlock(blockOffset);
    return count;
}

qint64 FileStreamDevice::writeData(const char *, qint64)
{
    return -1;
}

void FileStreamDevice::rewind()
{
    m_readFailure.reset();
    seek(0);
}

qint64 FileStreamDevice::fail(Error error)
{
    setErrorString(error.description());
    m_readFailure = std::move(error);
    return -1;
}

void FileStreamDevice::requestBlock(qint64 offset)
{
    const bool cached = std::any_of(m_blocks.cbegin(), m_blocks.cend(),
                                    [offset](const Block &b) { return b.offset == offset; });
    // A read already running (perhaps of a block no longer wanted after a seek) announces
    // itself with readyRead(); the consumer then asks again.
    if (cached || m_readInFlight)
        return;
    m_readInFlight = true;
    const qint64 length = std::min(blockSize, m_size - offset);
    m_reading.setFuture(QtConcurrent::run([file = m_file, offset, length] {
        Block block;
        block.offset = offset;
        auto bytes = readFileRange(*file, offset, length);
        if (bytes)
            block.bytes = std::move(bytes).value();
        else
            block.error = bytes.error();
        return block;
    }));
}

void FileStreamDevice::requestNextBlock(qint64 blockOffset)
{
    for (qint64 ahead = 1; ahead <= blocksAhead; ++ahead) {
        const qint64 offset = blockOffset + ahead * blockSize;
        if (offset >= m_size)
            return;
        const bool cached = std::any_of(m_blocks.cbegin(), m_blocks.cend(),
                                        [offset](const Block &b) { return b.offset == offset; });
        if (!cached) {
            requestBlock(offset);
            return;
        }
    }
}

void FileStreamDevice::keepBlocksAround(qint64 blockOffset)
{
    m_blocks.removeIf([blockOffset](const Block &b) {
        return b.offset < blockOffset || b.offset > blockOffset + blocksAhead * blockSize;
    });
}

void FileStreamDevice::blockArrived()
{
    m_readInFlight = false;
    m_blocks.append(m_reading.result());
    const qint64 position = pos();
    keepBlocksAround(position - position % blockSize);
    requestNextBlock(position - position % blockSize);
    Q_EMIT readyRead();
}
