#ifndef FILEUPLOAD_H
#define FILEUPLOAD_H

#include "clientcertificate.h"
#include "curltransfer.h"
#include "exitstatus.h"
#include "fileuploadconsole.h"
#include "fileuploadoptions.h"
#include "longtimer.h"
#include "resultwriter.h"
#include "uploadfiles.h"
#include "uploadresult.h"

#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QObject>
#include <QTimer>

class TransferPool;

// Sends every chunk of a file that the journal does not hold, several at a
// time: one transfer per chunk in flight, each keeping its connection open
// for the next chunk. Ends once, with finished().
class FileUpload : public QObject
{
    Q_OBJECT

public:
    // The client certificate read from the files the settings name, null for none.
    FileUpload(const FileUploadOptions &options, const ClientCertificate &clientCertificate = ClientCertificate(), QObject *parent = nullptr);
    ~FileUpload() override;

    // Checks the file and the template and opens the journal; prints one line
    // and answers false, with exitStatus() set, when the run cannot start.
    bool start();
    ExitStatus exitStatus() const;
    // A signal: no new chunk, the chunks in flight are given up. A status
    // already decided stands, and nothing changes once the run has ended.
    void interrupt(ExitStatus status);

signals:
    void finished();

private:
    struct Chunk : UploadFiles::Chunk
    {
        int slot = 0;
    };

    // Prints what a run would send; answers false, the run ended.
    bool dryRun();
    void startTransfers();
    void startChunks();
    void chunkRetrying(CurlTransfer *transfer, int wait);
    void chunkFinished(CurlTransfer *transfer, const UploadResult &result);
    // Counted, written to --result and the console: once its line is on disk, for a chunk stored.
    void chunkEnded(const Chunk &chunk, UploadResult result);
    void journalFailed(UploadResult *result) const;
    void linesFlushed(qint64 covered, bool ok);
    void resultWritten(ResultWriter::Written written);
    void runOutOfTime();
    void abandonChunks(const QByteArray &line);
    void drawStatusLine();
    void finish();
    void writeSummary(qint64 milliseconds);
    // A list's file failed for good: no more of its chunks, the others go on.
    void fileFailed(qint64 file);
    void endFiles();
    bool fail(ExitStatus status, const QByteArray &line);

    FileUploadOptions options;
    ClientCertificate clientCertificate;
    UploadFiles files;
    FileUploadConsole console;
    // Every chunk of the input has been handed out.
    bool inputEnded = false;
    TransferPool *transfers = nullptr;
    QList<int> freeSlots;
    QHash<CurlTransfer *, Chunk> inFlight;
    // Chunks the server stored whose journal lines are written, not yet on disk, in the order written.
    struct Unflushed
    {
        Chunk chunk;
        UploadResult result;
        qint64 line = 0;
    };
    QList<Unflushed> unflushed;
    // --max-time, counted from the start: reading the journal counts.
    QDeadlineTimer deadline;
    LongTimer runTime;
    QElapsedTimer clock;
    QTimer statusLine;
    bool stopping = false;
    // A signal or --max-time: the chunks in flight count neither as stored nor as failed.
    bool abandoning = false;
    bool ended = false;
    ExitStatus status = ExitStatus::Success;
    FileUploadConsole::Counts counts;
};

#endif // FILEUPLOAD_H
