#ifndef RESULTFILE_H
#define RESULTFILE_H

#include <QByteArray>
#include <QDeadlineTimer>

class UploadResult;

// Where the run's result goes: standard output for "-", nowhere for an empty
// path, a device, a FIFO or a descriptor's name written in place, any other
// file replaced whole or not at all. Opened before anything is sent, so that
// an unusable path fails the run before the chunk goes out.
class ResultFile
{
public:
    ResultFile() = default;
    ~ResultFile();
    Q_DISABLE_COPY(ResultFile)

    // Removes the previous run's result, so that a run that is killed leaves
    // none rather than an old one. Answers false, having touched nothing,
    // when the path cannot be written, names the input file, or is a link
    // planted by another user in a shared directory; prints nothing, so that
    // a run refused for another reason says only that.
    // A FIFO is waited for until it has a reader, or the deadline passes;
    // so is a reader that stops reading while the result is written.
    bool open(const QByteArray &path, const QByteArray &inputPath, const QDeadlineTimer &deadline = QDeadlineTimer::Forever);
    // The deadline passed while a FIFO waited for its reader.
    bool timedOut() const;
    // Writes the result once; later calls do nothing. Prints nothing and
    // allocates nothing of its own, so that a thread ending the process may call it.
    bool write(const UploadResult &result);
    // The line that says why the path was refused or the result could not be written.
    void reportFailure() const;

private:
    enum class Refusal { Unwritable, InputFile, ForeignLink, TimedOut };

    bool writeAll(const char *data, qint64 size);

    QByteArray path;
    Refusal refusal = Refusal::Unwritable;
    QDeadlineTimer deadline;
    // Replaced by the temporary file at the end; empty when written in place.
    QByteArray target;
    QByteArray temporaryPath;
    int descriptor = -1;
    bool written = false;
};

#endif // RESULTFILE_H
