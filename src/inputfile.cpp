#include "inputfile.h"

#include "rangedevice.h"

#include <QString>

#include <sys/stat.h>
#include <unistd.h>

// Who can set a file's change time back: nobody, unlike its modification time.
QJsonObject InputFile::identityOf(const QByteArray &path, const struct stat &status)
{
    const auto nanoseconds = [](const struct timespec &time) { return QString::number(qint64(time.tv_sec) * 1000000000 + time.tv_nsec); };
    QJsonObject identity;
    identity.insert(QStringLiteral("file"), QString::fromUtf8(path));
    identity.insert(QStringLiteral("size"), double(status.st_size));
    identity.insert(QStringLiteral("mtime_ns"), nanoseconds(status.st_mtim));
    identity.insert(QStringLiteral("ctime_ns"), nanoseconds(status.st_ctim));
    identity.insert(QStringLiteral("device"), QString::number(quint64(status.st_dev)));
    identity.insert(QStringLiteral("inode"), QString::number(quint64(status.st_ino)));
    return identity;
}

InputFile::~InputFile()
{
    if (input >= 0)
        ::close(input);
}

InputFile::Opening InputFile::open(const QByteArray &filePath)
{
    path = filePath;
    input = RangeDevice::openRegularFile(path.constData());
    struct stat status = {};
    if (input < 0 || ::fstat(input, &status) != 0)
        return Opening::Unopenable;
    char probe = 0;
    if (status.st_size == 0 && ::pread(input, &probe, 1, 0) > 0)
        return Opening::MisstatesSize;
    fileSize = status.st_size;
    opened = identityOf(path, status);
    return Opening::Opened;
}

int InputFile::descriptor() const
{
    return input;
}

qint64 InputFile::size() const
{
    return fileSize;
}

QJsonObject InputFile::identity() const
{
    return opened;
}

bool InputFile::isUnchanged() const
{
    struct stat now = {};
    struct stat named = {};
    return ::fstat(input, &now) == 0 && ::stat(path.constData(), &named) == 0 && named.st_dev == now.st_dev && named.st_ino == now.st_ino
           && identityOf(path, now) == opened;
}
