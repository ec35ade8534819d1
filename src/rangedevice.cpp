#include "rangedevice.h"

#include "ratelimiter.h"

#include <isa-l/crc.h>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

RangeDevice::RangeDevice(int descriptor, Ownership ownership, qint64 start, qint64 length, QObject *parent)
    : QIODevice(parent)
    , descriptor(descriptor)
    , ownership(ownership)
    , start(start)
    , length(length)
{
    // Qt copies each piece once more on its way to the network thread; a buffer here would add another.
    open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    resume.setSingleShot(true);
    resume.setTimerType(Qt::PreciseTimer);
    connect(&resume, &QTimer::timeout, this, &QIODevice::readyRead);
}

RangeDevice::RangeDevice(const char *bytes, qint64 length, QObject *parent)
    : RangeDevice(-1, Ownership::Shared, 0, length, parent)
{
    memory = bytes;
}

RangeDevice::~RangeDevice()
{
    if (ownership == Ownership::Taken)
        ::close(descriptor);
}

int RangeDevice::openRegularFile(const char *path)
{
    const int descriptor = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (descriptor < 0)
        return -1;
    struct stat status = {};
    if (fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode) || fcntl(descriptor, F_SETFL, 0) != 0) {
        ::close(descriptor);
        return -1;
    }
    return descriptor;
}

void RangeDevice::rewind()
{
    given = false;
    passes = 0;
    refused = false;
    crc = 0;
    QIODevice::seek(0);
}

void RangeDevice::setRateLimiter(RateLimiter *rateLimiter)
{
    limiter = rateLimiter;
}

void RangeDevice::setChecksumEnabled(bool enabled)
{
    checksummed = enabled;
}

quint32 RangeDevice::checksum() const
{
    return crc;
}

bool RangeDevice::isSequential() const
{
    return false;
}

qint64 RangeDevice::size() const
{
    return length;
}

void RangeDevice::setPassesPerAttempt(int count)
{
    allowedPasses = count;
}

bool RangeDevice::seek(qint64 position)
{
    if (position < pos())
        given = false;
    return QIODevice::seek(position);
}

// A read that ends early must fail: answering 0 would leave Qt waiting for
// more, and the request would hang instead of failing.
qint64 RangeDevice::readData(char *data, qint64 maxSize)
{
    qint64 wanted = qMin(maxSize, length - pos());
    if (wanted <= 0)
        return 0;
    if (limiter) {
        const qint64 granted = limiter->take(wanted);
        if (granted == 0) {
            if (!resume.isActive())
                resume.start(qMax(1, limiter->waitMilliseconds(wanted)));
            return 0;
        }
        wanted = granted;
    }
    if (!given && passes == allowedPasses) {
        if (!refused) {
            refused = true;
            emit resendRefused();
        }
        return -1;
    }
    if (!given) {
        ++passes;
        crc = 0;
    }
    ssize_t count = -1;
    if (memory) {
        std::memcpy(data, memory + pos(), size_t(wanted));
        count = ssize_t(wanted);
    }
    while (!memory && !failed && (count = ::pread(descriptor, data, size_t(wanted), start + pos())) < 0 && errno == EINTR) {
    }
    if (count > 0) {
        given = true;
        if (checksummed)
            crc = crc32_gzip_refl(crc, reinterpret_cast<const unsigned char *>(data), quint64(count));
        return count;
    }
    if (!failed) {
        failed = true;
        emit readFailed();
    }
    return -1;
}

qint64 RangeDevice::writeData(const char *, qint64)
{
    return -1;
}
