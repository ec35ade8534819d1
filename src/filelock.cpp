#include "filelock.h"

#include <QFile>
#include <QList>

#include <sys/file.h>
#include <sys/sysmacros.h>

bool FileLock::take(int descriptor)
{
    return ::flock(descriptor, LOCK_EX | LOCK_NB) == 0;
}

// A lock's line: "1: FLOCK  ADVISORY  WRITE 4711 08:01:1234 0 EOF".
qint64 FileLock::holder(const struct stat &file, const QString &locks)
{
    QFile list(locks);
    if (!list.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray place = QByteArray::number(major(file.st_dev), 16).rightJustified(2, '0') + ':'
                             + QByteArray::number(minor(file.st_dev), 16).rightJustified(2, '0') + ':' + QByteArray::number(quint64(file.st_ino));
    for (;;) {
        const QByteArray line = list.readLine(4096);
        if (line.isEmpty())
            return 0;
        // A waiter's line has "->" after the number: it holds nothing.
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() >= 6 && fields.at(1) == "FLOCK" && fields.at(5) == place)
            return fields.at(4).toLongLong();
    }
}
