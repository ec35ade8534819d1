#include "pathcheck.h"

#include <QList>

#include <cerrno>
#include <climits>
#include <cstdlib>

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace {

QByteArray directoryOf(const QByteArray &path)
{
    const int slash = path.lastIndexOf('/');
    return slash < 0 ? QByteArray(".") : slash == 0 ? QByteArray("/") : path.left(slash);
}

// On the heap: a run refused under a stack limit of a few pages still checks its result's path.
QByteArray resolved(const QByteArray &path)
{
    char *const name = ::realpath(path.constData(), nullptr);
    const QByteArray found = name ? QByteArray(name) : QByteArray();
    std::free(name);
    return found;
}

// What a link holds, relative to the link's folder; empty when not a link.
QByteArray linkTarget(const QByteArray &path)
{
    QByteArray target(PATH_MAX, Qt::Uninitialized);
    const ssize_t length = ::readlink(path.constData(), target.data(), size_t(target.size()));
    if (length <= 0 || length == ssize_t(target.size()))
        return QByteArray();
    target.truncate(int(length));
    return target.startsWith('/') ? target : directoryOf(path) + '/' + target;
}

bool isShared(const struct stat &directory)
{
    return (directory.st_mode & S_ISVTX) && (directory.st_mode & S_IWOTH);
}

} // namespace

bool PathCheck::isSameFile(const QByteArray &first, const QByteArray &second)
{
    const QByteArray key = fileKey(first);
    return !key.isEmpty() && key == fileKey(second);
}

bool PathCheck::isForeignLink(const QByteArray &path)
{
    int linksLeft = 40;
    return leadsThroughForeignLink(path, &linksLeft);
}

// Every link on the way counts, a folder's as much as the last name's, and
// so does every link its target names in turn, as far as the kernel follows.
bool PathCheck::leadsThroughForeignLink(const QByteArray &path, int *linksLeft)
{
    QByteArray prefix = path.startsWith('/') ? QByteArray() : QByteArray(".");
    for (const QByteArray &part : path.split('/')) {
        if (part.isEmpty())
            continue;
        const QByteArray parent = prefix.isEmpty() ? QByteArray("/") : prefix;
        prefix += '/' + part;
        struct stat link = {};
        if (::lstat(prefix.constData(), &link) != 0)
            return false;
        if (!S_ISLNK(link.st_mode))
            continue;
        struct stat directory = {};
        if (--*linksLeft < 0 || ::stat(parent.constData(), &directory) != 0)
            return false;
        if (isShared(directory) && link.st_uid != ::geteuid() && link.st_uid != directory.st_uid)
            return true;
        const QByteArray next = linkTarget(prefix);
        if (next.isEmpty())
            return false;
        if (leadsThroughForeignLink(next, linksLeft))
            return true;
    }
    return false;
}

QByteArray PathCheck::fileKey(const QByteArray &path)
{
    QByteArray name = path;
    // A dangling link creates its target: follow it by hand, as far as the kernel would.
    for (int depth = 0; depth < 40; ++depth) {
        struct stat status = {};
        if (::stat(name.constData(), &status) == 0)
            return "inode " + QByteArray::number(quint64(status.st_dev)) + ' ' + QByteArray::number(quint64(status.st_ino));
        const QByteArray next = linkTarget(name);
        if (next.isEmpty())
            break;
        name = next;
    }
    const QByteArray directory = resolved(directoryOf(name));
    const int slash = name.lastIndexOf('/');
    return directory.isEmpty() ? QByteArray() : "path " + directory + '/' + name.mid(slash + 1);
}

bool PathCheck::namesDescriptor(const QByteArray &path)
{
    return !procName(path).isEmpty();
}

int PathCheck::descriptorNumber(const QByteArray &path)
{
    const QByteArray name = procName(path);
    const QByteArray folder = resolved(directoryOf(name));
    const QByteArray own = "/proc/" + QByteArray::number(qint64(::getpid())) + '/';
    bool number = false;
    const int descriptor = name.mid(name.lastIndexOf('/') + 1).toInt(&number);
    return number && folder.startsWith(own) && folder.endsWith("/fd") ? descriptor : -1;
}

QByteArray PathCheck::procName(const QByteArray &path)
{
    QByteArray name = path;
    for (int depth = 0; depth < 40 && !name.isEmpty(); ++depth) {
        struct statfs system = {};
        if (::statfs(directoryOf(name).constData(), &system) == 0 && system.f_type == PROC_SUPER_MAGIC)
            return name;
        name = linkTarget(name);
    }
    return QByteArray();
}

// The folder is the one the kernel names for the open file, wherever the path led.
bool PathCheck::isForeignFile(int descriptor, const struct stat &file)
{
    if (!S_ISREG(file.st_mode) || file.st_uid == ::geteuid())
        return false;
    const QByteArray name = linkTarget("/proc/self/fd/" + QByteArray::number(descriptor));
    struct stat directory = {};
    return name.startsWith('/') && ::stat(directoryOf(name).constData(), &directory) == 0 && isShared(directory)
           && file.st_uid != directory.st_uid;
}

PathCheck::Found PathCheck::open(const QByteArray &path, int flags, bool regularOnly, int *descriptor, struct stat *status)
{
    *descriptor = -1;
    // O_PATH opens nothing: it only holds the file the path leads to.
    const int place = ::open(path.constData(), O_PATH | O_CLOEXEC);
    if (place < 0)
        return errno == ENOENT ? Found::Absent : Found::Failed;
    struct stat named = {};
    Found found = Found::File;
    if (::fstat(place, status) != 0)
        found = Found::Failed;
    else if (isForeignLink(path))
        found = Found::ForeignLink;
    else if (::stat(path.constData(), &named) != 0 || named.st_dev != status->st_dev || named.st_ino != status->st_ino)
        found = Found::ForeignLink;
    else if (isForeignFile(place, *status))
        found = Found::ForeignFile;
    else if (regularOnly && !S_ISREG(status->st_mode))
        found = Found::NotRegular;
    // The very file looked at, whatever the name leads to by now.
    else if ((*descriptor = ::open(("/proc/self/fd/" + QByteArray::number(place)).constData(), flags | O_CLOEXEC)) < 0 && errno == ENOENT)
        // No /proc: the name again, kept only if it still leads to that file.
        *descriptor = ::open(path.constData(), flags | O_CLOEXEC);
    struct stat opened = {};
    if (*descriptor >= 0 && (::fstat(*descriptor, &opened) != 0 || opened.st_dev != status->st_dev || opened.st_ino != status->st_ino)) {
        ::close(*descriptor);
        *descriptor = -1;
        found = Found::ForeignLink;
    } else if (found == Found::File && *descriptor < 0) {
        found = Found::Failed;
    }
    const int error = errno;
    ::close(place);
    errno = error;
    return found;
}

bool PathCheck::canCreate(const QByteArray &path)
{
    const int slash = path.lastIndexOf('/');
    const QByteArray folder = slash < 0 ? QByteArray(".") : slash == 0 ? QByteArray("/") : path.left(slash);
    struct stat status = {};
    if (::stat(folder.constData(), &status) != 0)
        return false;
    if (!S_ISDIR(status.st_mode)) {
        errno = ENOTDIR;
        return false;
    }
    return ::access(folder.constData(), W_OK | X_OK) == 0;
}
