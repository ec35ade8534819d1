#ifndef RESULTWRITER_H
#define RESULTWRITER_H

#include <QByteArray>
#include <QDeadlineTimer>

#include <climits>

class QJsonObject;
class UploadResult;

// Where results go as JSON lines. UPLOADER_RESULT: standard output for "-",
// nowhere for an empty path, a device, a FIFO or a descriptor's name written
// in place, any other file replaced whole or not at all. --result: standard
// output for "-", any other file appended to, a line at a time, and cut to
// nothing or created only once the run is known to start. Opened before
// anything is sent, so that an unusable path fails the run before a chunk
// goes out.
class ResultWriter
{
public:
    ResultWriter() = default;
    ~ResultWriter();
    Q_DISABLE_COPY(ResultWriter)

    // UPLOADER_RESULT. Removes the previous run's result, so that a run that
    // is killed leaves none rather than an old one. Answers false, having
    // touched nothing, when the path cannot be written, names the input
    // file, or is a link planted by another user in a shared directory;
    // prints nothing, so that a run refused for another reason says only that.
    // A FIFO is waited for until it has a reader, or the deadline passes;
    // so is a reader that stops reading while the result is written.
    bool open(const QByteArray &path, const QByteArray &inputPath, const QDeadlineTimer &deadline = QDeadlineTimer::Forever);
    // --result, its path checked by the caller: what is there is opened,
    // neither cut nor created, so that a run refused at its start appends
    // its own summary to the previous run's lines. A FIFO without a reader
    // is refused: its open would block where no signal ends the run.
    bool openForAppends(const QByteArray &path, const QDeadlineTimer &deadline);
    // The run starts: the file opened is cut to nothing, or created.
    bool startAppends();
    // A dry run's startAppends: whether it could, nothing cut or created.
    bool canStartAppends() const;
    // The deadline passed while a FIFO waited for its reader, or while the
    // result was written to a reader that stopped reading.
    bool timedOut() const;
    // Why openForAppends refused the path, as the console line goes on; empty when nothing says more.
    QByteArray refusalReason() const;
    // Open for appends, and no line has failed.
    bool isOpen() const;

    // Writes the result once; later calls do nothing. Prints nothing and
    // allocates nothing of its own, so that a thread ending the process may call it.
    bool write(const UploadResult &result);
    // The line that says why UPLOADER_RESULT was refused or could not be written.
    void reportFailure() const;

    // Stopped: a signal came, or the deadline passed, while the reader did not read.
    enum class Written { Whole, Failed, Stopped };
    // One line each. A reader slower than the run is waited for, but a signal
    // ends only that wait: a file that takes the bytes gets them. Nothing is
    // written after a line that was not whole, so that none follows a torn one.
    Written append(const UploadResult &result);
    Written append(const QJsonObject &object);

private:
    enum class Refusal { Unwritable, InputFile, ForeignLink, ForeignFile, TimedOut, NoReader };

    bool take(const char *data, qint64 size);
    bool flush();
    Written writeAll(const char *data, qint64 size);
    Written appended();

    QByteArray path;
    Refusal refusal = Refusal::Unwritable;
    QDeadlineTimer deadline;
    // Replaced by the temporary file at the end; empty when written in place.
    QByteArray target;
    QByteArray temporaryPath;
    int descriptor = -1;
    bool written = false;
    bool appending = false;
    // --result: a regular file to cut, or a name to create, when the run starts.
    bool cutting = false;
    bool creating = false;
    Written outcome = Written::Whole;
    // A line up to a pipe's atomic write goes out in one piece. Taken
    // beforehand, so that writing allocates nothing, and off the stack, which
    // may be small until the resource limits are raised.
    QByteArray pending{ PIPE_BUF, Qt::Uninitialized };
    qint64 pendingSize = 0;
};

#endif // RESULTWRITER_H
