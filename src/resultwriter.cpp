#include "resultwriter.h"

#include "consolemessage.h"
#include "interruptwatcher.h"
#include "pathcheck.h"
#include "standardstreams.h"
#include "uploadresult.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <limits>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

ResultWriter::~ResultWriter()
{
    if (!temporaryPath.isEmpty()) {
        ::close(descriptor);
        ::unlink(temporaryPath.constData());
    } else if (descriptor > STDERR_FILENO) {
        ::close(descriptor);
    }
}

bool ResultWriter::open(const QByteArray &resultPath, const QByteArray &inputPath, const QDeadlineTimer &runDeadline)
{
    path = resultPath;
    deadline = runDeadline;
    if (path.isEmpty())
        return true;
    // Closed by the caller, by any name: the result would go nowhere.
    if (StandardStreams::wasClosed(path == "-" ? STDOUT_FILENO : PathCheck::descriptorNumber(path)))
        return false;
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
    // Looked at through what the path opens, so that the file judged is the one found.
    struct stat status = {};
    const int place = ::open(path.constData(), O_PATH | O_CLOEXEC);
    const bool exists = place >= 0 && ::fstat(place, &status) == 0;
    // A stranger's file would be replaced with its mode, which the stranger chose.
    const bool foreign = exists && PathCheck::isForeignFile(place, status);
    if (place >= 0)
        ::close(place);
    if (foreign) {
        refusal = Refusal::ForeignFile;
        return false;
    }
    // Renaming over /dev/null would replace the system's own file, over
    // /dev/stdout the caller's open file, and a FIFO's reader would wait for
    // ever. A regular file is replaced wherever it lies (/dev/shm).
    if ((exists && !S_ISREG(status.st_mode)) || PathCheck::namesDescriptor(path)) {
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
        // On the heap: a refused run writes its result under a stack limit of a few pages.
        char *const resolved = exists ? ::realpath(path.constData(), nullptr) : nullptr;
        target = resolved ? QByteArray(resolved) : path;
        std::free(resolved);
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

bool ResultWriter::write(const UploadResult &result)
{
    if (path.isEmpty() || written)
        return true;
    written = true;
    const bool whole = result.writeJson([this](const char *data, qint64 size) { return take(data, size); }) && flush();
    if (!whole && outcome == Written::Stopped && deadline.hasExpired())
        refusal = Refusal::TimedOut;
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

void ResultWriter::reportFailure() const
{
    const QString name = QString::fromLocal8Bit(path);
    switch (refusal) {
    case Refusal::InputFile:
        ConsoleMessage() << " >> UPLOADER_RESULT names the input file:" << name;
        break;
    case Refusal::ForeignLink:
        ConsoleMessage() << " >> UPLOADER_RESULT is a link of another user in a shared directory:" << name;
        break;
    case Refusal::ForeignFile:
        ConsoleMessage() << " >> UPLOADER_RESULT is a file of another user in a shared directory:" << name;
        break;
    case Refusal::TimedOut:
    case Refusal::NoReader:
    case Refusal::Unwritable:
        ConsoleMessage() << " >> Cannot write UPLOADER_RESULT:" << name;
        break;
    }
}

bool ResultWriter::timedOut() const
{
    return refusal == Refusal::TimedOut;
}

bool ResultWriter::openForAppends(const QByteArray &resultPath, const QDeadlineTimer &runDeadline)
{
    path = resultPath;
    deadline = runDeadline;
    appending = true;
    // Closed by the caller, by any name: the lines would go nowhere.
    if (StandardStreams::wasClosed(path == "-" ? STDOUT_FILENO : PathCheck::descriptorNumber(path)))
        return false;
    if (path == "-") {
        descriptor = STDOUT_FILENO;
        return true;
    }
    // Left non-blocking: a reader that is slower than the run is waited for in poll.
    struct stat status = {};
    switch (PathCheck::open(path, O_WRONLY | O_APPEND | O_NOCTTY | O_NONBLOCK, false, &descriptor, &status)) {
    case PathCheck::Found::File:
        cutting = S_ISREG(status.st_mode);
        return true;
    case PathCheck::Found::Absent:
        creating = true;
        return true;
    case PathCheck::Found::ForeignLink:
        refusal = Refusal::ForeignLink;
        return false;
    case PathCheck::Found::ForeignFile:
        refusal = Refusal::ForeignFile;
        return false;
    case PathCheck::Found::NotRegular:
    case PathCheck::Found::Failed:
        break;
    }
    if (errno == ENXIO)
        refusal = Refusal::NoReader;
    return false;
}

bool ResultWriter::startAppends()
{
    if (cutting)
        return ::ftruncate(descriptor, 0) == 0;
    // O_EXCL follows no link: a name taken since it was looked at is not written.
    if (creating)
        descriptor = ::open(path.constData(), O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666);
    return descriptor >= 0;
}

bool ResultWriter::canStartAppends() const
{
    return !creating || PathCheck::canCreate(path);
}

QByteArray ResultWriter::refusalReason() const
{
    return refusal == Refusal::NoReader      ? QByteArray("is a FIFO without a reader ")
           : refusal == Refusal::ForeignLink ? QByteArray("is a link of another user in a shared directory ")
           : refusal == Refusal::ForeignFile ? QByteArray("is a file of another user in a shared directory ")
                                             : QByteArray();
}

bool ResultWriter::isOpen() const
{
    return appending && descriptor >= 0;
}

ResultWriter::Written ResultWriter::append(const UploadResult &result)
{
    outcome = Written::Whole;
    if (result.writeJson([this](const char *data, qint64 size) { return take(data, size); }))
        flush();
    return appended();
}

ResultWriter::Written ResultWriter::append(const QJsonObject &object)
{
    outcome = Written::Whole;
    const QByteArray line = QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
    if (take(line.constData(), line.size()))
        flush();
    return appended();
}

ResultWriter::Written ResultWriter::appended()
{
    pendingSize = 0;
    if (outcome != Written::Whole) {
        if (descriptor > STDERR_FILENO)
            ::close(descriptor);
        descriptor = -1;
    }
    return outcome;
}

bool ResultWriter::take(const char *data, qint64 size)
{
    // Closed after a line that was not whole.
    if (descriptor < 0) {
        outcome = Written::Failed;
        return false;
    }
    while (size > 0) {
        if (pendingSize == pending.size() && !flush())
            return false;
        const qint64 piece = qMin<qint64>(size, pending.size() - pendingSize);
        std::memcpy(pending.data() + pendingSize, data, size_t(piece));
        pendingSize += piece;
        data += piece;
        size -= piece;
    }
    return true;
}

bool ResultWriter::flush()
{
    outcome = writeAll(pending.constData(), pendingSize);
    pendingSize = 0;
    return outcome == Written::Whole;
}

// Waits in poll for the reader, and for a signal or the deadline as well, so
// that a reader that stops reading never holds the run. For --result, a
// reader that went away is a failed write, not a SIGPIPE that would end the
// process with a status no caller expects.
ResultWriter::Written ResultWriter::writeAll(const char *data, qint64 size)
{
    sigset_t brokenPipe;
    sigset_t previous;
    sigemptyset(&brokenPipe);
    sigemptyset(&previous);
    sigaddset(&brokenPipe, SIGPIPE);
    if (appending)
        pthread_sigmask(SIG_BLOCK, &brokenPipe, &previous);
    Written result = Written::Whole;
    while (size > 0 && result == Written::Whole) {
        struct pollfd waits[2] = { { descriptor, POLLOUT, 0 }, { InterruptWatcher::wakeDescriptor(), POLLIN, 0 } };
        const qint64 left = deadline.remainingTime();
        const int ready = ::poll(waits, 2, left < 0 ? -1 : int(qMin<qint64>(left, std::numeric_limits<int>::max())));
        if (ready < 0 && errno == EINTR)
            continue;
        // A signal ends only a wait: a file that takes the bytes now gets them, so that no line is lost to it.
        const bool writable = waits[0].revents != 0;
        if (ready <= 0 || (!writable && (waits[1].revents & POLLIN))) {
            result = ready < 0 ? Written::Failed : Written::Stopped;
            break;
        }
        // A pipe that polls writable takes a page without blocking.
        const ssize_t count = ::write(descriptor, data, size_t(qMin<qint64>(size, PIPE_BUF)));
        if (count < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (count < 0 && errno == EPIPE && appending) {
            const struct timespec now = {};
            ::sigtimedwait(&brokenPipe, nullptr, &now);
        }
        if (count <= 0)
            result = Written::Failed;
        data += qMax<ssize_t>(count, 0);
        size -= qMax<ssize_t>(count, 0);
    }
    if (appending)
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return result;
}
