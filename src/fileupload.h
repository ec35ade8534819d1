#ifndef FILEUPLOAD_H
#define FILEUPLOAD_H

#include "chunklayout.h"
#include "curltransfer.h"
#include "exitstatus.h"
#include "longtimer.h"
#include "fileuploadoptions.h"
#include "uploadjournal.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QObject>
#include <QTimer>

class CurlMulti;
class RateLimiter;
class UploadResult;

// Sends every chunk of a file that the journal does not hold, several at a
// time: one transfer per chunk in flight, each keeping its connection open
// for the next chunk. Ends once, with finished().
class FileUpload : public QObject
{
    Q_OBJECT

public:
    FileUpload(const FileUploadOptions &options, QObject *parent = nullptr);
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
    struct Chunk
    {
        qint64 index = 0;
        qint64 start = 0;
        qint64 end = 0;
        int slot = 0;
    };

    CurlTransfer::Settings transferSettings() const;
    void startChunks();
    void chunkFinished(CurlTransfer *transfer, const UploadResult &result);
    QByteArray pathProblem() const;
    bool fileUnchanged() const;
    bool record(const Chunk &chunk, const UploadResult &result, quint32 crc);
    void writeResult(const UploadResult &result);
    // Stopped: a signal came, or the run time ended, while the reader did not read.
    enum class Written { Whole, Failed, Stopped };
    Written writeResultBytes(const char *data, qint64 size);
    void resultFailed(Written written);
    void runOutOfTime();
    void abandonChunks(const QByteArray &line);
    void report(const Chunk &chunk, const UploadResult &result);
    void reportRetry(const Chunk &chunk, const UploadResult &result, int seconds);
    void printLine(const QByteArray &line);
    void showProgress();
    void drawStatusLine();
    void finish();
    bool fail(ExitStatus status, const QByteArray &line);

    FileUploadOptions options;
    // Every chunk is read through this one descriptor, so that a file
    // replaced under its name is never sent in parts of two.
    int input = -1;
    ChunkLayout layout{ 0, 1 };
    QJsonObject identity;
    UploadJournal journal;
    // -1 when there is none, or once a write to it failed.
    int resultDescriptor = -1;
    // Chunks are found as they are needed: memory does not grow with their count.
    qint64 nextIndex = 0;
    CurlMulti *multi = nullptr;
    RateLimiter *limiter = nullptr;
    QList<CurlTransfer *> transfers;
    QList<int> freeSlots;
    QHash<CurlTransfer *, Chunk> inFlight;
    // --max-time.
    LongTimer runTime;
    QElapsedTimer clock;
    QTimer statusLine;
    bool terminal = false;
    bool stopping = false;
    // A signal or --max-time: the chunks in flight count neither as stored nor as failed.
    bool abandoning = false;
    bool ended = false;
    ExitStatus status = ExitStatus::Success;
    qint64 skipped = 0;
    qint64 stored = 0;
    qint64 failed = 0;
    qint64 bytesSent = 0;
    qint64 bytesToSend = 0;
    // Bytes under way in the chunks in flight, for the status line.
    QHash<CurlTransfer *, qint64> sending;
    int lastPercent = 0;
};

#endif // FILEUPLOAD_H
