#ifndef FILELOCK_H
#define FILELOCK_H

#include <QString>

#include <sys/stat.h>

// An exclusive flock, taken without waiting. It goes with the descriptor: a
// crashed run leaves none behind.
class FileLock
{
public:
    static bool take(int descriptor);
    // The process holding a flock on the file, from the kernel's list of
    // locks; 0 when none is found, or the holder is not visible from this
    // process's pid namespace.
    static qint64 holder(const struct stat &file, const QString &locks = QStringLiteral("/proc/locks"));
};

#endif // FILELOCK_H
