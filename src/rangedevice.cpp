#include "rangedevice.h"

#include <QFile>

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

bool RangeDevice::isSequential() const
{
    return false;
}

qint64 RangeDevice::size() const
{
    return length;
}

// A read that ends early must fail: answering 0 would leave Qt waiting for
// more, and the request would hang instead of failing.
qint64 RangeDevice::readData(char *data, qint64 maxSize)
{
    const qint64 wanted = qMin(maxSize, length - pos());
    if (wanted <= 0)
        return 0;
    const qint64 count = failed || !file->seek(start + pos()) ? -1 : file->read(data, wanted);
    if (count > 0)
        return count;
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
