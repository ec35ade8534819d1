#ifndef FILEUPLOADCONSOLE_H
#define FILEUPLOADCONSOLE_H

#include "exitstatus.h"
#include "progress.h"

#include <QByteArray>

class UploadResult;

// uploader-file's console: a status line on a terminal, elsewhere a line for
// each chunk and the progress in steps; the summary at the end.
class FileUploadConsole
{
public:
    struct Counts
    {
        qint64 stored = 0;
        qint64 failed = 0;
        qint64 skipped = 0;
        qint64 bytesSent = 0;
        qint64 bytesToSend = 0;
    };

    explicit FileUploadConsole(bool quiet);

    // From here on, a terminal gets the status line instead of a line for each chunk.
    void start();
    bool isTerminal() const;
    // A line of its own, below the status line.
    void printLine(const QByteArray &line) const;
    // The result holds the chunk's index and range.
    void chunkEnded(const UploadResult &result) const;
    void chunkRetrying(const UploadResult &attempt, int seconds, int retries) const;
    void progress(const Counts &counts, qint64 fileSize, qint64 elapsedMilliseconds);
    // underWay: bytes of the chunks in flight. A fileSize of -1 is a stream's: no percentage.
    void status(const Counts &counts, qint64 fileSize, qint64 underWay, qint64 elapsedMilliseconds, int inFlight) const;
    // A file of several that is not whole: its status and what is missing.
    void fileEnded(const QByteArray &path, ExitStatus status, qint64 missing, qint64 chunkCount, qint64 missingBytes) const;
    void summary(ExitStatus status, const Counts &counts, qint64 chunkCount, qint64 elapsedMilliseconds) const;

private:
    bool quiet = false;
    bool terminal = false;
    Progress steps{ Progress::Steps::Passed };
};

#endif // FILEUPLOADCONSOLE_H
