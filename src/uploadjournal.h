#ifndef UPLOADJOURNAL_H
#define UPLOADJOURNAL_H

#include "chunklayout.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QHash>
#include <QJsonObject>
#include <QPair>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

class QObject;

class JournalLine;

// The record of a whole-file upload, as JSON lines: the first names the file
// and the chunking, each later one a chunk the server stored. A line is
// written whole and on disk before its chunk counts as stored; a line torn
// by a crash is dropped, and a line that does not describe a stored chunk of
// this file is ignored. Held locked while a run uses it. A run over several
// files ("files" in its header) keeps one journal: a line for each file, its
// path and identity, then a line for each chunk stored, with its file's number.
class UploadJournal
{
public:
    UploadJournal() = default;
    ~UploadJournal();
    Q_DISABLE_COPY(UploadJournal)

    enum class Opening { Opened, InUse, Mismatch, NotJournal, Unusable, TimedOut };

    // Reads the journal at path, if there is one, without changing it: a
    // file that is not a journal, or a journal of another file, is left as
    // it is. The header holds "size" and "chunk_size", which the chunk
    // lines are checked against. *problem says what is wrong when the
    // answer is not Opened. An empty path is no journal: nothing is read,
    // stored or written, and every append succeeds. Only a regular file is opened: a FIFO or a
    // device is looked at, never opened. Reading stops at the deadline.
    Opening open(const QByteArray &path, const QJsonObject &header, bool restart, QByteArray *problem,
                 const QDeadlineTimer &deadline = QDeadlineTimer::Forever);
    // Makes the journal ready for appends: creates it, starts it anew, or
    // cuts a torn last line off. Only a run that goes on calls it; a journal
    // it created and could not write is removed.
    bool begin(QByteArray *problem);
    // A dry run's begin: whether begin could create the journal, nothing made.
    bool canBegin(QByteArray *problem) const;
    // Removes the journal begin created, for a run refused after it.
    void discard();
    bool isStored(qint64 index) const;
    // A journal of several files: the number of the file recorded with this
    // path, or -1; why its identity differs from this one, or empty; a file
    // to record, written by begin; whether the file numbered so holds the chunk.
    qint64 recordedFile(const QByteArray &filePath) const;
    QByteArray identityProblem(qint64 file, const QJsonObject &identity) const;
    qint64 addFile(const QByteArray &filePath, const QJsonObject &identity);
    bool isStored(qint64 file, qint64 index) const;
    // A stream's journal ("stream" in its header): whether it holds the
    // chunk, with the length and CRC-32 of the bytes that were stored.
    bool storedStreamChunk(qint64 index, qint64 *length, quint32 *crc32) const;
    // The count of a stream's chunks up to the last one it holds.
    qint64 streamChunksRecorded() const;
    // Complete lines read that do not count.
    qint64 ignoredLines() const;
    // Appends one line and flushes it to disk.
    bool append(const JournalLine &chunk);
    // Appends one line without waiting for the disk: answers its number
    // (from 1), or -1 when it could not be written; 0 without a journal,
    // where nothing waits. flush() then puts every line written so far on
    // disk off the calling thread, and calls flushed in the context's thread
    // with the number of the last line it covered and whether it did: one
    // flush covers every line written while the one before went on.
    qint64 write(const JournalLine &chunk);
    void flush(QObject *context, const std::function<void(qint64 line, bool ok)> &flushed);

    // The first line: a mark that names the format, then the header's members.
    static QByteArray headerLine(const QJsonObject &header);
    // Lines longer than this are not ours: a reply is kept up to 64 KiB.
    static const qint64 longestLine;

private:
    enum class Content { Absent, Fresh, Resumed, Created };

    void flushLines();

    Opening readHeader(const QByteArray &firstLine, bool complete, bool restart, QByteArray *problem);
    void readChunk(const QByteArray &line);
    void readListed(const QByteArray &line);

    // A file of a journal over several: its identity, the chunks stored.
    struct RecordedFile
    {
        // Compact JSON of its identity's members: a JSON object for each would take memory by the kilobyte.
        QByteArray identity;
        qint64 size;
        std::vector<bool> stored;
    };

    QByteArray path;
    QJsonObject header;
    int descriptor = -1;
    Content content = Content::Absent;
    // Where the complete lines end.
    qint64 completeSize = 0;
    ChunkLayout layout{ 0, 1 };
    std::vector<bool> stored;
    bool stream = false;
    QHash<qint64, QPair<qint64, quint32>> streamChunks;
    bool several = false;
    std::vector<RecordedFile> files;
    QHash<QByteArray, qint64> fileNumbers;
    // The lines of the files added, for begin to write.
    QByteArray addedFiles;
    // The lines written, and those the flushing thread is asked to cover.
    qint64 linesWritten = 0;
    qint64 linesRequested = 0;
    bool closing = false;
    QObject *flushContext = nullptr;
    std::function<void(qint64, bool)> flushed;
    std::mutex flushMutex;
    std::condition_variable flushWanted;
    std::thread flusher;
    qint64 ignored = 0;
};

#endif // UPLOADJOURNAL_H
