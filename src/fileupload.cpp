#include "fileupload.h"

#include "consolemessage.h"
#include "curltransfer.h"
#include "journalline.h"
#include "rangedevice.h"
#include "transferpool.h"
#include "uploadresult.h"

FileUpload::FileUpload(const FileUploadOptions &options, QObject *parent)
    : QObject(parent)
    , options(options)
    , console(options.quiet)
{
    statusLine.setInterval(250);
    connect(&statusLine, &QTimer::timeout, this, &FileUpload::drawStatusLine);
    connect(&runTime, &LongTimer::expired, this, &FileUpload::runOutOfTime);
}

FileUpload::~FileUpload()
{
    // Before the input file that their bodies read.
    delete transfers;
}

bool FileUpload::start()
{
    deadline = QDeadlineTimer(options.settings.maxTime > 0 ? options.settings.maxTime * qint64(1000) : -1);
    QByteArray line;
    ExitStatus refusal = ExitStatus::Usage;
    if (!files.open(options, deadline, &line, &refusal)) {
        fail(refusal, line);
        // A script reading --result never takes an earlier run's summary for this one's.
        if (files.results().isOpen())
            writeSummary(0);
        return false;
    }
    if (files.journal().ignoredLines() > 0)
        ConsoleMessage() << " >> Journal:" << files.journal().ignoredLines() << "lines ignored: they record no stored chunk of this file";

    for (qint64 index = 0; !options.stream && index < files.layout().count(); ++index) {
        if (files.journal().isStored(index))
            ++counts.skipped;
        else
            counts.bytesToSend += files.layout().end(index) - files.layout().start(index);
    }
    startTransfers();
    // An option libcurl refuses here would be refused for every chunk: the run ends before any is sent.
    if (!transfers->problem().isEmpty())
        return fail(ExitStatus::Failure, " >> Cannot set up libcurl: " + transfers->problem() + ' ');
    console.start();
    if (console.isTerminal())
        statusLine.start();
    clock.start();
    if (options.settings.maxTime > 0)
        runTime.start(qMax<qint64>(deadline.remainingTime(), 0));
    if (options.journalPath.isEmpty())
        console.printLine(" >> No journal: a run that fails sends the whole input again ");
    if (InputStream *stream = files.stream()) {
        connect(stream, &InputStream::changed, this, &FileUpload::startChunks);
        stream->start();
    } else if (counts.skipped == files.layout().count()) {
        ConsoleMessage() << " >> All" << files.layout().count() << "chunks are in the journal";
    }
    startChunks();
    return true;
}

// One transfer for each slot, the slots no more than the chunks to send.
void FileUpload::startTransfers()
{
    const int slotCount = options.stream ? options.parallel : int(qMin<qint64>(options.parallel, files.layout().count() - counts.skipped));
    transfers = new TransferPool(options, slotCount);
    connect(transfers, &TransferPool::retryScheduled, this, &FileUpload::chunkRetrying);
    connect(transfers, &TransferPool::finished, this, &FileUpload::chunkFinished);
    for (int slot = 0; slot < slotCount; ++slot)
        freeSlots << slot;
}

ExitStatus FileUpload::exitStatus() const
{
    return status;
}

void FileUpload::interrupt(ExitStatus signalStatus)
{
    if (ended)
        return;
    if (status == ExitStatus::Success)
        status = signalStatus;
    abandonChunks(" >> Interrupted ");
}

void FileUpload::abandonChunks(const QByteArray &line)
{
    if (abandoning)
        return;
    stopping = true;
    abandoning = true;
    const QList<CurlTransfer *> chunks = inFlight.keys();
    for (CurlTransfer *transfer : chunks)
        transfer->abort(line);
    if (inFlight.isEmpty())
        finish();
}

void FileUpload::runOutOfTime()
{
    if (ended)
        return;
    const QByteArray line = " >> Timed out: the run took over " + QByteArray::number(options.settings.maxTime) + " seconds ";
    console.printLine(line);
    if (status == ExitStatus::Success)
        status = ExitStatus::TemporaryFailure;
    abandonChunks(line);
}

// A file's chunks are cut by range; a stream's come as it is read. A
// stream's chunk layout ends with the chunk: its figures are the same.
bool FileUpload::nextChunk(Chunk *chunk, RangeDevice **body)
{
    if (InputStream *stream = files.stream()) {
        InputStream::Chunk piece;
        qint64 length = 0;
        quint32 crc = 0;
        // A chunk the journal holds is checked, not sent: the stream read again must be the one stored.
        while (stream->take(&piece) && files.journal().storedStreamChunk(piece.index, &length, &crc)) {
            const bool same = length == piece.length && crc == piece.crc32;
            stream->release(piece.buffer);
            if (!same) {
                fail(ExitStatus::Failure, " >> Chunk " + QByteArray::number(piece.index) + " [" + QByteArray::number(piece.start) + ", "
                                              + QByteArray::number(piece.start + piece.length)
                                              + "): the input differs from the one the journal recorded ");
                stopping = true;
                return false;
            }
            ++counts.skipped;
            piece.buffer = -1;
        }
        if (piece.buffer < 0)
            return false;
        chunk->index = piece.index;
        chunk->start = piece.start;
        chunk->end = piece.start + piece.length;
        chunk->buffer = piece.buffer;
        chunk->crc32 = piece.crc32;
        *body = new RangeDevice(piece.bytes, piece.length, nullptr);
        return true;
    }
    while (nextIndex < files.layout().count() && files.journal().isStored(nextIndex))
        ++nextIndex;
    if (nextIndex == files.layout().count())
        return false;
    chunk->index = nextIndex++;
    chunk->start = files.layout().start(chunk->index);
    chunk->end = files.layout().end(chunk->index);
    *body = new RangeDevice(files.input().descriptor(), RangeDevice::Ownership::Shared, chunk->start, chunk->end - chunk->start, nullptr);
    (*body)->setChecksumEnabled(true);
    return true;
}

void FileUpload::startChunks()
{
    InputStream *stream = files.stream();
    while (!stopping && !freeSlots.isEmpty()) {
        Chunk chunk;
        RangeDevice *body = nullptr;
        if (!nextChunk(&chunk, &body))
            break;
        // A figure may turn an address that worked for the others into one that does not.
        const QByteArray url = options.urlTemplate.address(stream ? ChunkLayout(chunk.end, options.chunkSize) : files.layout(), chunk.index);
        const QByteArray problem = UrlTemplate::addressProblem(url);
        if (!problem.isEmpty()) {
            delete body;
            fail(ExitStatus::Usage, " >> Invalid URL_TEMPLATE: chunk " + QByteArray::number(chunk.index) + ": " + problem + ' ');
            stopping = true;
            break;
        }
        chunk.slot = freeSlots.takeFirst();
        CurlTransfer *transfer = transfers->at(chunk.slot);
        inFlight.insert(transfer, chunk);
        // Each chunk's own: the last chunk of a long run is retried as the first was.
        // A wait that would end past the run's time is not made: the chunk ends at once.
        const QDeadlineTimer retryDeadline(options.retryTime * qint64(1000), Qt::PreciseTimer);
        transfer->start(url, body, qMin(retryDeadline, deadline));
    }
    if (stream && !stream->failure().isEmpty() && !stopping) {
        fail(ExitStatus::Failure, " >> " + stream->failure() + ' ');
        stopping = true;
    }
    // A stream that ends before the chunks the journal holds is not the one stored either.
    if (stream && stream->isDrained() && !stopping && files.journal().streamChunksRecorded() > stream->chunksRead()) {
        fail(ExitStatus::Failure, " >> The input ended after " + QByteArray::number(stream->position())
                                      + " Byte, before the chunks the journal recorded: it differs from the one the journal recorded ");
        stopping = true;
    }
    // A stream not yet ended is waited for.
    if (inFlight.isEmpty() && (stopping || !stream || stream->isDrained()))
        finish();
}

qint64 FileUpload::chunkCount() const
{
    return files.stream() ? files.stream()->chunksRead() : files.layout().count();
}

// -1 while a stream is read: no total, no percentage.
qint64 FileUpload::inputSize() const
{
    return files.stream() ? -1 : files.layout().fileSize();
}

void FileUpload::chunkRetrying(CurlTransfer *transfer, int wait)
{
    const Chunk chunk = inFlight.value(transfer);
    UploadResult attempt = transfer->result();
    attempt.index = chunk.index;
    attempt.start = chunk.start;
    attempt.end = chunk.end;
    console.chunkRetrying(attempt, wait, options.settings.retries);
}

void FileUpload::chunkFinished(CurlTransfer *transfer, const UploadResult &outcome)
{
    const Chunk chunk = inFlight.take(transfer);
    freeSlots << chunk.slot;
    if (files.stream())
        files.stream()->release(chunk.buffer);
    UploadResult chunkResult = outcome;
    chunkResult.index = chunk.index;
    chunkResult.start = chunk.start;
    chunkResult.end = chunk.end;
    if (abandoning) {
        if (inFlight.isEmpty())
            finish();
        return;
    }
    // A chunk read from a file that changed may hold bytes of both versions: never journaled.
    if (chunkResult.exitStatus == ExitStatus::Success && !options.stream && !files.input().isUnchanged()) {
        chunkResult.exitStatus = ExitStatus::Failure;
        chunkResult.failure = " >> The file changed while it was sent: the chunks stored may not match it ";
    } else if (chunkResult.exitStatus == ExitStatus::Success && !files.journal().append(JournalLine(chunkResult, chunk.buffer >= 0 ? chunk.crc32 : transfer->checksum()))) {
        chunkResult.exitStatus = ExitStatus::Failure;
        chunkResult.failure = " >> Cannot write the journal: \"" + options.journalPath + "\" ";
    }
    if (chunkResult.exitStatus == ExitStatus::Success) {
        ++counts.stored;
        counts.bytesSent += chunk.end - chunk.start;
    } else {
        ++counts.failed;
        // A failure that will repeat: no new chunk, those in flight finish.
        if (chunkResult.exitStatus == ExitStatus::Failure) {
            stopping = true;
            status = ExitStatus::Failure;
        }
    }
    if (files.results().isOpen())
        resultWritten(files.results().append(chunkResult));
    console.chunkEnded(chunkResult);
    console.progress(counts, inputSize(), clock.elapsed());
    startChunks();
}

// A write stopped by a signal or the run time leaves the ending to them: the
// loop takes the signal, or the timer fires, next.
void FileUpload::resultWritten(ResultWriter::Written written)
{
    if (written == ResultWriter::Written::Whole)
        return;
    console.printLine(" >> Cannot write --result: \"" + options.resultPath + "\" ");
    if (written == ResultWriter::Written::Stopped)
        return;
    stopping = true;
    if (status == ExitStatus::Success || status == ExitStatus::TemporaryFailure)
        status = ExitStatus::Failure;
}

void FileUpload::drawStatusLine()
{
    console.status(counts, inputSize(), transfers->bytesUnderWay(), clock.elapsed(), inFlight.size());
}

void FileUpload::finish()
{
    if (ended || !inFlight.isEmpty())
        return;
    ended = true;
    statusLine.stop();
    runTime.stop();
    if (console.isTerminal())
        ConsoleMessage::writeStatus(QByteArray());
    if (status == ExitStatus::Success && counts.failed > 0)
        status = ExitStatus::TemporaryFailure;
    // 0 says every chunk is stored, and nothing else may.
    if (status == ExitStatus::Success && (counts.stored + counts.skipped < chunkCount() || (files.stream() && !files.stream()->isDrained())))
        status = ExitStatus::Failure;
    const qint64 milliseconds = clock.isValid() ? clock.elapsed() : 0;
    // First, so that the console tells when it could not be written.
    if (files.results().isOpen())
        writeSummary(milliseconds);
    console.summary(status, counts, chunkCount(), milliseconds);
    emit finished();
}

void FileUpload::writeSummary(qint64 milliseconds)
{
    QJsonObject summary;
    summary.insert(QStringLiteral("exit"), int(status));
    summary.insert(QStringLiteral("stored"), double(counts.stored));
    summary.insert(QStringLiteral("failed"), double(counts.failed));
    summary.insert(QStringLiteral("skipped"), double(counts.skipped));
    summary.insert(QStringLiteral("bytes"), double(counts.bytesSent));
    summary.insert(QStringLiteral("seconds"), milliseconds / 1000.0);
    const ResultWriter::Written written = files.results().append(summary);
    resultWritten(written);
    // The run ends here: no signal or timer will decide after this.
    if (written != ResultWriter::Written::Whole && status == ExitStatus::Success)
        status = ExitStatus::Failure;
}

bool FileUpload::fail(ExitStatus failure, const QByteArray &line)
{
    status = failure;
    console.printLine(line);
    return false;
}

// Its own meta-object code here, not in the library's shared moc unit, so that uploader links no libcurl.
#include "moc_fileupload.cpp"
