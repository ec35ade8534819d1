#include "inputstream.h"

#include <QSocketNotifier>

#include <isa-l/crc.h>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Headroom for the program itself and its replies beside the buffers.
const qint64 programMemory = qint64(256) << 20;

const int largestPipe = 1 << 20;
// Small enough that the bytes read are still in the cache for their checksum.
const qint64 largestRead = 256 << 10;
const quintptr hugePage = 2 << 20;

// A buffer on huge pages where the kernel has them: a chunk's first filling
// takes four faults for each 8 MiB instead of two thousand.
char *mapBuffer(qint64 size)
{
    const size_t page = size_t(::sysconf(_SC_PAGESIZE));
    const size_t length = (size_t(size) + page - 1) / page * page;
    void *memory = ::mmap(nullptr, length + hugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (memory == MAP_FAILED)
        return nullptr;
    const quintptr start = quintptr(memory);
    const quintptr aligned = (start + hugePage - 1) & ~(hugePage - 1);
    if (aligned > start)
        ::munmap(memory, aligned - start);
    if (start + hugePage > aligned)
        ::munmap(reinterpret_cast<void *>(aligned + length), start + hugePage - aligned);
    ::madvise(reinterpret_cast<void *>(aligned), length, MADV_HUGEPAGE);
    return reinterpret_cast<char *>(aligned);
}

bool isReadable(int descriptor)
{
    struct pollfd ready = { descriptor, POLLIN, 0 };
    return ::poll(&ready, 1, 0) > 0 && (ready.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

} // namespace

InputStream::InputStream(qint64 chunkSize, int bufferCount, bool checksummed, QObject *parent)
    : QObject(parent)
    , chunkSize(chunkSize)
    , checksummed(checksummed)
    , buffers(size_t(bufferCount))
{
}

InputStream::~InputStream()
{
    for (const Buffer &buffer : buffers)
        if (buffer.data)
            ::munmap(buffer.data, size_t(chunkSize));
    if (owned)
        ::close(descriptor);
}

QByteArray InputStream::memoryProblem(qint64 chunkSize, int bufferCount)
{
    const qint64 needed = chunkSize * bufferCount;
    qint64 available = qint64(::sysconf(_SC_PHYS_PAGES)) * ::sysconf(_SC_PAGESIZE);
    struct rlimit limit = {};
    if (::getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
        available = qMin(available, qint64(limit.rlim_cur));
    if (needed + programMemory <= available)
        return QByteArray();
    return "a stream holds " + QByteArray::number(bufferCount) + " chunks of " + QByteArray::number(chunkSize) + " Byte, "
           + QByteArray::number(needed) + " Byte in all, and this run may have " + QByteArray::number(available - programMemory)
           + ": use a smaller --chunk-size or --parallel";
}

InputStream::Opening InputStream::open(const QByteArray &path)
{
    owned = path != "-";
    // Non-blocking, so that a FIFO without a writer yet does not hold the open.
    descriptor = owned ? ::open(path.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC) : STDIN_FILENO;
    if (descriptor < 0) {
        owned = false;
        return Opening::Unopenable;
    }
    if (::isatty(descriptor))
        return Opening::Terminal;
    // A pipe of 64 KiB wakes both sides 16 times a mebibyte; the default
    // largest an unprivileged process may set is 1 MiB. Not being able to is no fault.
    struct stat status = {};
    if (::fstat(descriptor, &status) == 0 && S_ISFIFO(status.st_mode) && ::fcntl(descriptor, F_GETPIPE_SZ) < largestPipe)
        ::fcntl(descriptor, F_SETPIPE_SZ, largestPipe);
    return Opening::Opened;
}

InputStream::Opening InputStream::look(const QByteArray &path)
{
    struct stat status = {};
    if (::stat(path.constData(), &status) != 0)
        return Opening::Unopenable;
    if (!S_ISCHR(status.st_mode))
        return Opening::Opened;
    const int descriptor = ::open(path.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (descriptor < 0)
        return Opening::Unopenable;
    const bool terminal = ::isatty(descriptor);
    ::close(descriptor);
    return terminal ? Opening::Terminal : Opening::Opened;
}

void InputStream::setCheckedOnly(const std::function<bool(qint64)> &isChecked)
{
    checkedOnly = isChecked;
}

void InputStream::start()
{
    notifier = new QSocketNotifier(descriptor, QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &InputStream::readReady);
}

// A read only after poll said it would not wait: standard input stays as it
// is (its flags are shared with other processes), and a FIFO without a writer
// yet is not taken for an ended one. A source that is always ready
// (/dev/zero) gives way to the event loop after a few reads.
void InputStream::readReady()
{
    bool changes = false;
    for (int reads = 0; reads < 64 && isReadable(descriptor); ++reads) {
        if (filling < 0 && !fillNext())
            break;
        Buffer &buffer = buffers[size_t(filling)];
        // A chunk only checked goes through memory the cache holds: read into its buffer, it takes three times as long.
        char *target = buffer.checkedOnly ? scratch.data() : buffer.data + buffer.filled;
        const ssize_t count = ::read(descriptor, target, size_t(qMin<qint64>(chunkSize - buffer.filled, largestRead)));
        if (count < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (count < 0) {
            readFailure = "Cannot read input file: " + QByteArray(std::strerror(errno));
            stop();
            emit changed();
            return;
        }
        if (count == 0) {
            // An empty stream is one empty chunk, as an empty file is.
            if (buffer.filled > 0 || nextIndex == 0)
                markReady();
            else
                buffer.free = true;
            filling = -1;
            ended = true;
            stop();
            emit changed();
            return;
        }
        // While the bytes are still in the cache: a resumed run checks each chunk by it.
        if (checksummed)
            buffer.crc32 = crc32_gzip_refl(buffer.crc32, reinterpret_cast<const unsigned char *>(target), quint64(count));
        buffer.filled += count;
        bytes += count;
        if (buffer.filled == chunkSize) {
            markReady();
            filling = -1;
            changes = true;
        }
    }
    if (filling < 0 && !fillNext())
        notifier->setEnabled(false);
    if (changes || !readFailure.isEmpty())
        emit changed();
}

// Takes a free buffer, its memory reserved on first use.
bool InputStream::fillNext()
{
    for (size_t i = 0; i < buffers.size(); ++i) {
        Buffer &buffer = buffers[i];
        if (!buffer.free)
            continue;
        // The chunk it takes is the next one marked ready.
        buffer.checkedOnly = checkedOnly && checkedOnly(nextIndex);
        if (buffer.checkedOnly && scratch.empty())
            scratch.resize(size_t(largestRead));
        if (!buffer.checkedOnly && !buffer.data) {
            buffer.data = mapBuffer(chunkSize);
            if (!buffer.data) {
                readFailure = "Cannot hold a chunk of the input in memory: " + QByteArray(std::strerror(errno));
                return false;
            }
        }
        buffer.free = false;
        buffer.filled = 0;
        buffer.crc32 = 0;
        filling = int(i);
        return true;
    }
    return false;
}

void InputStream::markReady()
{
    buffers[size_t(filling)].index = nextIndex++;
    ready << filling;
}

void InputStream::stop()
{
    if (notifier)
        notifier->setEnabled(false);
}

bool InputStream::take(Chunk *chunk)
{
    if (ready.isEmpty())
        return false;
    const int number = ready.takeFirst();
    const Buffer &buffer = buffers[size_t(number)];
    chunk->index = buffer.index;
    chunk->start = buffer.index * chunkSize;
    chunk->length = buffer.filled;
    chunk->bytes = buffer.checkedOnly ? nullptr : buffer.data;
    chunk->crc32 = buffer.crc32;
    chunk->buffer = number;
    return true;
}

void InputStream::release(int buffer)
{
    if (buffer < 0 || size_t(buffer) >= buffers.size())
        return;
    buffers[size_t(buffer)].free = true;
    if (notifier && !ended && readFailure.isEmpty())
        notifier->setEnabled(true);
}

bool InputStream::isDrained() const
{
    return ended && ready.isEmpty();
}

QByteArray InputStream::failure() const
{
    return readFailure;
}

qint64 InputStream::chunksRead() const
{
    return nextIndex;
}

qint64 InputStream::position() const
{
    return bytes;
}
