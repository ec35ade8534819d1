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
    void status(const Counts &counts, qint64 fileSize, qint64 underWay, qint64 elapsedMilliseconds, int inFlight, int retrying) const;
    // The status line once more with the run's last figures, kept above the summary.
    void endStatus(const Counts &counts, qint64 fileSize, qint64 elapsedMilliseconds) const;
    // A chunk's file is empty for a single input.
    // --verbose: a chunk's request ("> ") or reply ("< ") headers, below a line naming the chunk.
    void headerLines(const QByteArray &file, qint64 index, qint64 start, qint64 end, const QByteArray &lines) const;
    // A dry run's chunk: the address it would go to (masked), or empty for one the journal holds.
    void chunkPlanned(const QByteArray &file, qint64 index, qint64 start, qint64 end, const QByteArray &address) const;
    // toSend is -1 for a stream, whose chunks are known only as it is read.
    void dryRunEnded(qint64 toSend, qint64 skipped, qint64 chunkSize) const;
    // A file of several that is not whole: its status and what is missing.
    void fileEnded(const QByteArray &path, ExitStatus status, qint64 missing, qint64 chunkCount, qint64 missingBytes) const;
    void summary(ExitStatus status, const Counts &counts, qint64 chunkCount, qint64 elapsedMilliseconds) const;

private:
    int width() const;

    bool quiet = false;
    bool terminal = false;
    // COLUMNS, for a terminal that does not tell its width.
    int columns = 80;
    Progress steps{ Progress::Steps::Passed };
};

#endif // FILEUPLOADCONSOLE_H
