#ifndef PATHCHECK_H
#define PATHCHECK_H

#include <QByteArray>

// What a path given by the user names, looked at before anything is written
// there: a run must never write over its own input, nor follow a link that
// someone else planted in a directory that everyone may write.
class PathCheck
{
public:
    // Both name one file: the same device and inode where it exists, through
    // links; the same resolved path where it is still to be created.
    static bool isSameFile(const QByteArray &first, const QByteArray &second);
    // The path leads through a link in a sticky directory that others may
    // write, owned by neither the caller nor the directory's owner: the rule
    // of Linux's protected_symlinks, which may be off.
    static bool isForeignLink(const QByteArray &path);
    // The path reaches its file through a descriptor's name in /proc
    // (/dev/stdout, /dev/fd/3): the file is the caller's open one.
    static bool namesDescriptor(const QByteArray &path);

    // The number of the caller's descriptor the path names through /proc
    // (/dev/stdout: 1), or -1.
    static int descriptorNumber(const QByteArray &path);
    // The open file is a regular one in a sticky folder that others may
    // write, owned by neither the caller nor the folder's owner: the rule of
    // Linux's protected_regular, which may be off.
    static bool isForeignFile(int descriptor, const struct stat &file);

    // The folder a path still to be created names takes a new file; errno says why not.
    static bool canCreate(const QByteArray &path);

    enum class Found { File, Absent, NotRegular, ForeignLink, ForeignFile, Failed };
    // Opens what the path names with flags (no O_CREAT), looking at it
    // first: a FIFO or a device is never opened unless allowed, so that
    // neither a blocked writer is released nor a device acts, and a link
    // planted by another user before the open is found after it, the file
    // left untouched. *descriptor is -1 unless the answer is File; errno
    // says why for Failed.
    static Found open(const QByteArray &path, int flags, bool regularOnly, int *descriptor, struct stat *status);

private:
    static bool leadsThroughForeignLink(const QByteArray &path, int *linksLeft);
    // The path's name on /proc once its links are followed, or empty.
    static QByteArray procName(const QByteArray &path);
    // A name for the file a path leads to, equal for two paths that lead to one file.
    static QByteArray fileKey(const QByteArray &path);
};

#endif // PATHCHECK_H
