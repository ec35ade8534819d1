#ifndef RESULTFILE_H
#define RESULTFILE_H

#include <QByteArray>

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
    // none rather than an old one. Prints one line and answers false when
    // the path cannot be written.
    bool open(const QByteArray &path);
    // Writes the result once; later calls do nothing. Prints nothing and
    // allocates nothing of its own, so that a thread ending the process may call it.
    bool write(const UploadResult &result);
    // The line that says the result could not be written.
    void reportFailure() const;

private:
    bool writeAll(const char *data, qint64 size);

    QByteArray path;
    // Replaced by the temporary file at the end; empty when written in place.
    QByteArray target;
    QByteArray temporaryPath;
    int descriptor = -1;
    bool written = false;
};

#endif // RESULTFILE_H
