#include "rangedevice.h"

#include <QFile>

#include <zlib.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

RangeDevice::RangeDevice(QFile *file, qint64 start, qint64 length, QObject *parent)
    : QIODevice(parent)
    , file(file)
    , start(start)
    , length(length)
{
    file->setParent(this);
    // Qt copies each piece once more on its way to the network thread; a buffer here would add another.
    open(QIODevice::ReadOnly | QIODevice::Unbuffered);
}

bool RangeDevice::openRegularFile(const char *path, QFile *file)
{
    const int descriptor = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (descriptor < 0)
        return false;
    struct stat status = {};
    if (fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode) || fcntl(descriptor, F_SETFL, 0) != 0
        || !file->open(descriptor, QIODevice::ReadOnly | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle)) {
        ::close(descriptor);
        return false;
    }
    return true;
}

void RangeDevice::rewind()
{
    given = false;
    passes = 0;
    refused = false;
    crc = 0;
    QIODevice::seek(0);
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
    const qint64 wanted = qMin(maxSize, length - pos());
    if (wanted <= 0)
        return 0;
    if (!given && passes == allowedPasses) {
        if (!refused) {
            refused = true;
            emit resendRefused();
        }
        return -1;
    }
    if (!given)
        ++passes;
    const qint64 count = failed || !file->seek(start + pos()) ? -1 : file->read(data, wanted);
    if (count > 0) {
        given = true;
        if (checksummed)
            crc = quint32(crc32(crc, reinterpret_cast<const Bytef *>(data), uInt(count)));
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
