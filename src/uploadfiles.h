#ifndef UPLOADFILES_H
#define UPLOADFILES_H

#include "chunklayout.h"
#include "exitstatus.h"
#include "filelist.h"
#include "inputfile.h"
#include "inputstream.h"
#include "resultwriter.h"
#include "uploadjournal.h"

#include <QByteArray>
#include <QScopedPointer>

#include <functional>

class FileUploadOptions;
class RangeDevice;
class UrlTemplate;

// The files of an uploader-file run: the input (a file, a stream, or a list
// of files), the journal and the result.
// Their paths are checked against each other before anything is created, cut
// or read, and a run refused at any step leaves every file as it found it.
class UploadFiles
{
public:
    // Answers false, with the line to print and the status, when the run
    // cannot start; --result may then be open, for the run's summary. The
    // journal is read, and a FIFO's reader waited for, until the deadline.
    bool open(const FileUploadOptions &options, const QDeadlineTimer &deadline, QByteArray *line, ExitStatus *status);

    // A chunk of the input: its range and, for a chunk held in memory, the CRC-32 of its bytes.
    struct Chunk
    {
        qint64 index = 0;
        qint64 start = 0;
        qint64 end = 0;
        int buffer = -1;
        bool checksummed = false;
        quint32 crc32 = 0;
        // Its file's place in a list, -1 for a single input.
        qint64 file = -1;
    };
    // FileFailed: the list's file chunk->file cannot be sent (the line says
    // why, status 1); the other files go on.
    enum class Next { Ready, Waiting, Ended, Failed, FileFailed };
    // The next chunk the journal does not hold, with its body. A stream's
    // chunks that the journal holds are read, checked against it and counted
    // in *skipped; Failed comes with the line that says why (status 1).
    Next next(Chunk *chunk, RangeDevice **body, qint64 *skipped, QByteArray *line);
    // Its bytes are no longer needed.
    void release(const Chunk &chunk);
    QByteArray address(const UrlTemplate &urlTemplate, const Chunk &chunk) const;
    // The chunks known so far, and the input's size: -1 for a stream, known only at its end.
    qint64 chunkCount() const;
    qint64 size() const;
    // The chunk's input still holds what the chunks stored hold.
    bool isUnchanged(const Chunk &chunk) const;
    // The chunks and bytes that the journal holds, and the bytes still to send.
    void countJournaled(qint64 *skipped, qint64 *bytesToSend);
    // The number the journal knows the chunk's file by, -1 for a single input.
    qint64 journalNumber(const Chunk &chunk) const;
    // A list of files, or null for a single input.
    FileList *list();
    // No more chunk of the list's file is handed out.
    void stopFile(qint64 file);
    // Calls changed each time a stream has a chunk ready, ends or fails.
    void startReading(QObject *context, const std::function<void()> &changed);
    const ChunkLayout &layout() const;
    UploadJournal &journal();
    ResultWriter &results();

private:
    QByteArray journalProblem(const FileUploadOptions &options) const;
    QByteArray resultProblem(const FileUploadOptions &options) const;
    bool openJournal(const FileUploadOptions &options, const QDeadlineTimer &deadline, QByteArray *line, ExitStatus *status);
    // Reads it and checks its header; nothing is written.
    bool readJournal(const FileUploadOptions &options, const QDeadlineTimer &deadline, QByteArray *line, ExitStatus *status);
    bool beginJournal(const FileUploadOptions &options, QByteArray *line);

    bool openStream(const FileUploadOptions &options, const QDeadlineTimer &deadline, QByteArray *line, ExitStatus *status);
    bool openList(const FileUploadOptions &options, const QDeadlineTimer &deadline, QByteArray *line, ExitStatus *status);
    Next nextListed(Chunk *chunk, RangeDevice **body, QByteArray *line);

    // FILE as given, for {name} and {path}.
    QByteArray givenPath;
    InputFile inputFile;
    QScopedPointer<FileList> files;
    // The list's file whose chunks are handed out; its totals.
    size_t currentFile = 0;
    qint64 listChunks = 0;
    qint64 listSize = 0;
    QScopedPointer<InputStream> inputStream;
    // A file's chunks are found as they are needed: memory does not grow with their count.
    qint64 nextIndex = 0;
    ChunkLayout chunks{ 0, 1 };
    UploadJournal uploadJournal;
    ResultWriter resultWriter;
};

#endif // UPLOADFILES_H
