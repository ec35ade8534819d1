#include "resultfile.h"

#include "consolemessage.h"
#include "pathcheck.h"
#include "uploadresult.h"

#include <QString>

#include <cerrno>
#include <climits>
#include <limits>
#include <cstdlib>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

ResultFile::~ResultFile()
{
    if (!temporaryPath.isEmpty()) {
        ::close(descriptor);
        ::unlink(temporaryPath.constData());
    } else if (descriptor > STDERR_FILENO) {
        ::close(descriptor);
    }
}

bool ResultFile::open(const QByteArray &resultPath, const QByteArray &inputPath, const QDeadlineTimer &runDeadline)
{
    path = resultPath;
    deadline = runDeadline;
    if (path.isEmpty())
        return true;
    if (path == "-") {
        descriptor = STDOUT_FILENO;
        return true;
    }
    // Replacing the result would delete the input, and a root run would
    // write wherever the planted link points.
    if (PathCheck::isForeignLink(path))
        refusal = Refusal::ForeignLink;
    else if (!inputPath.isEmpty() && PathCheck::isSameFile(path, inputPath))
        refusal = Refusal::InputFile;
    if (refusal != Refusal::Unwritable)
        return false;
    struct stat status = {};
    const bool exists = ::stat(path.constData(), &status) == 0;
    // Renaming over /dev/null or /dev/stdout would replace the system's own
    // file, and a FIFO's reader would wait for ever.
    if ((exists && !S_ISREG(status.st_mode)) || path.startsWith("/dev/") || path.startsWith("/proc/")) {
        // A FIFO without a reader yet: wait for the one the caller starts, as
        // long as the run may last. Writes stay non-blocking for the same reason.
        const struct timespec pause = { 0, 20 * 1000 * 1000 };
        while ((descriptor = ::open(path.constData(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NONBLOCK)) < 0 && errno == ENXIO) {
            if (deadline.hasExpired()) {
                refusal = Refusal::TimedOut;
                return false;
            }
            ::nanosleep(&pause, nullptr);
        }
        if (descriptor >= 0)
            return true;
    } else {
        // The file a link names is replaced, not the link.
        char resolved[PATH_MAX];
        target = exists && ::realpath(path.constData(), resolved) ? QByteArray(resolved) : path;
        QByteArray pattern = target + ".XXXXXX";
        descriptor = ::mkostemp(pattern.data(), O_CLOEXEC);
        if (descriptor >= 0) {
            temporaryPath = pattern;
            const mode_t mask = ::umask(0);
            ::umask(mask);
            ::fchmod(descriptor, exists ? status.st_mode & 07777 : 0666 & ~mask);
            if (!exists || ::unlink(target.constData()) == 0 || errno == ENOENT)
                return true;
        }
    }
    return false;
}

bool ResultFile::write(const UploadResult &result)
{
    if (path.isEmpty() || written)
        return true;
    written = true;
    const bool whole = result.writeJson([this](const char *data, qint64 size) { return writeAll(data, size); });
    if (temporaryPath.isEmpty())
        return whole;
    bool replaced = whole && ::fdatasync(descriptor) == 0;
    replaced = ::close(descriptor) == 0 && replaced;
    replaced = replaced && ::rename(temporaryPath.constData(), target.constData()) == 0;
    if (!replaced)
        ::unlink(temporaryPath.constData());
    descriptor = -1;
    temporaryPath.clear();
    return replaced;
}

void ResultFile::reportFailure() const
{
    const QString name = QString::fromLocal8Bit(path);
    switch (refusal) {
    case Refusal::InputFile:
        ConsoleMessage() << " >> UPLOADER_RESULT names the input file:" << name;
        break;
    case Refusal::ForeignLink:
        ConsoleMessage() << " >> UPLOADER_RESULT is a link of another user in a shared directory:" << name;
        break;
    case Refusal::TimedOut:
    case Refusal::Unwritable:
        ConsoleMessage() << " >> Cannot write UPLOADER_RESULT:" << name;
        break;
    }
}

bool ResultFile::timedOut() const
{
    return refusal == Refusal::TimedOut;
}

bool ResultFile::writeAll(const char *data, qint64 size)
{
    while (size > 0) {
        const ssize_t count = ::write(descriptor, data, size_t(size));
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0 && errno == EAGAIN) {
            const qint64 left = deadline.remainingTime();
            struct pollfd reader = { descriptor, POLLOUT, 0 };
            const int ready = left == 0 ? 0 : ::poll(&reader, 1, int(qMin<qint64>(left, std::numeric_limits<int>::max())));
            if (ready < 0 && errno == EINTR)
                continue;
            if (ready <= 0)
                return false;
            continue;
        }
        if (count <= 0)
            return false;
        data += count;
        size -= count;
    }
    return true;
}
