#include "fileupload.h"

#include "consolemessage.h"
#include "curltransfer.h"
#include "journalline.h"
#include "rangedevice.h"
#include "requestheaders.h"
#include "transferpool.h"
#include "uploadresult.h"
#include "utf8text.h"

#include <cmath>

FileUpload::FileUpload(const FileUploadOptions &options, const ClientCertificate &clientCertificate, QObject *parent)
    : QObject(parent)
    , options(options)
    , clientCertificate(clientCertificate)
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
        if (files.results().isOpen() && !options.dryRun)
            writeSummary(0);
        return false;
    }
    if (files.journal().ignoredLines() > 0)
        ConsoleMessage() << " >> Journal:" << files.journal().ignoredLines() << "lines ignored: they record no stored chunk of this file";

    files.countJournaled(&counts.skipped, &counts.bytesToSend);
    startTransfers();
    // An option libcurl refuses here would be refused for every chunk: the run ends before any is sent.
    if (!transfers->problem().isEmpty())
        return fail(ExitStatus::Failure, " >> Cannot set up libcurl: " + transfers->problem() + ' ');
    if (options.dryRun)
        return dryRun();
    console.start();
    if (console.isTerminal())
        statusLine.start();
    clock.start();
    if (options.settings.maxTime > 0)
        runTime.start(qMax<qint64>(deadline.remainingTime(), 0));
    if (options.journalPath.isEmpty())
        console.printLine(" >> No journal: a run that fails sends the whole input again ");
    files.startReading(this, [this] { startChunks(); });
    // A stream's chunks are counted as they are read.
    if (!options.stream && counts.skipped == files.chunkCount()) {
        ConsoleMessage() << " >> All" << files.chunkCount() << "chunks are in the journal";
        // No slot to ask for a chunk with.
        inputEnded = true;
    }
    startChunks();
    return true;
}

// The chunks in the order a run asks for them; the journal's named, not sent.
bool FileUpload::dryRun()
{
    if (options.journalPath.isEmpty())
        console.printLine(" >> No journal: a run that fails sends the whole input again ");
    const qint64 chunkSize = files.layout().chunkSize();
    qint64 toSend = 0;
    qint64 expected = 0;
    if (options.stream) {
        qint64 length = 0;
        quint32 crc = 0;
        for (; files.journal().storedStreamChunk(expected, &length, &crc); ++expected)
            console.chunkPlanned(QByteArray(), expected, expected * chunkSize, expected * chunkSize + length, QByteArray());
        console.dryRunEnded(-1, expected, chunkSize);
        return false;
    }
    // The files in turn, a single input as the only one.
    FileList *list = files.list();
    const qint64 fileCount = list ? qint64(list->entries().size()) : 1;
    const auto layoutOf = [&](qint64 file) { return list ? ChunkLayout(list->entries()[size_t(file)].status.st_size, chunkSize) : files.layout(); };
    const auto pathOf = [&](qint64 file) { return list ? list->entries()[size_t(file)].path : QByteArray(); };
    qint64 file = 0;
    // The journal's chunks before the file's chunk index, and every one of the files before it.
    const auto skippedUpTo = [&](qint64 untilFile, qint64 index) {
        for (; file < untilFile || (file == untilFile && expected < index); ++expected) {
            const ChunkLayout layout = layoutOf(file);
            if (expected >= layout.count()) {
                ++file;
                expected = -1;
                continue;
            }
            console.chunkPlanned(pathOf(file), expected, layout.start(expected), layout.end(expected), QByteArray());
        }
    };
    Chunk chunk;
    RangeDevice *body = nullptr;
    QByteArray line;
    qint64 unused = 0;
    UploadFiles::Next next = UploadFiles::Next::Ready;
    while ((next = files.next(&chunk, &body, &unused, &line)) == UploadFiles::Next::Ready || next == UploadFiles::Next::FileFailed) {
        // A file that cannot be read at its turn ends that file; a run would go on with the others.
        if (next == UploadFiles::Next::FileFailed) {
            skippedUpTo(chunk.file, 0);
            console.printLine(line);
            status = ExitStatus::Failure;
            file = chunk.file + 1;
            expected = 0;
            continue;
        }
        delete body;
        files.release(chunk);
        const qint64 at = list ? chunk.file : 0;
        skippedUpTo(at, chunk.index);
        const QByteArray url = files.address(options.urlTemplate, chunk);
        const QByteArray problem = UrlTemplate::addressProblem(url);
        if (!problem.isEmpty())
            return fail(ExitStatus::Usage, " >> Invalid URL_TEMPLATE: chunk " + QByteArray::number(chunk.index) + ": " + problem + ' ');
        console.chunkPlanned(pathOf(at), chunk.index, chunk.start, chunk.end, RequestHeaders::masked(url, options.settings.apiToken));
        ++toSend;
        expected = chunk.index + 1;
    }
    skippedUpTo(fileCount - 1, layoutOf(fileCount - 1).count());
    console.dryRunEnded(toSend, counts.skipped, chunkSize);
    return false;
}

// One transfer for each slot, the slots no more than the chunks to send.
void FileUpload::startTransfers()
{
    const int slotCount = options.stream ? options.parallel : int(qMin<qint64>(options.parallel, files.chunkCount() - counts.skipped));
    transfers = new TransferPool(options, clientCertificate, slotCount);
    connect(transfers, &TransferPool::retryScheduled, this, &FileUpload::chunkRetrying);
    connect(transfers, &TransferPool::finished, this, &FileUpload::chunkFinished);
    connect(transfers, &TransferPool::headerLines, this, [this](CurlTransfer *transfer, const QByteArray &lines) {
        const Chunk chunk = inFlight.value(transfer);
        console.headerLines(chunk.file >= 0 ? files.list()->entries()[size_t(chunk.file)].path : QByteArray(), chunk.index, chunk.start, chunk.end, lines);
    });
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

void FileUpload::startChunks()
{
    UploadFiles::Next next = UploadFiles::Next::Waiting;
    QByteArray line;
    while (!stopping && !freeSlots.isEmpty()) {
        Chunk chunk;
        RangeDevice *body = nullptr;
        next = files.next(&chunk, &body, &counts.skipped, &line);
        // The other files go on.
        if (next == UploadFiles::Next::FileFailed) {
            fileFailed(chunk.file);
            console.printLine(line);
            continue;
        }
        if (next != UploadFiles::Next::Ready)
            break;
        // A figure may turn an address that worked for the others into one that does not.
        const QByteArray url = files.address(options.urlTemplate, chunk);
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
    if (next == UploadFiles::Next::Failed) {
        fail(ExitStatus::Failure, line);
        stopping = true;
    }
    inputEnded = inputEnded || next == UploadFiles::Next::Ended;
    // A stream not yet ended is waited for.
    if (inFlight.isEmpty() && (stopping || inputEnded))
        finish();
}

void FileUpload::chunkRetrying(CurlTransfer *transfer, int wait)
{
    const Chunk chunk = inFlight.value(transfer);
    UploadResult attempt = transfer->result();
    attempt.index = chunk.index;
    attempt.start = chunk.start;
    attempt.end = chunk.end;
    if (chunk.file >= 0)
        attempt.file = files.list()->entries()[size_t(chunk.file)].path;
    console.chunkRetrying(attempt, wait, options.settings.retries);
}

void FileUpload::chunkFinished(CurlTransfer *transfer, const UploadResult &outcome)
{
    const Chunk chunk = inFlight.take(transfer);
    freeSlots << chunk.slot;
    UploadResult chunkResult = outcome;
    chunkResult.index = chunk.index;
    chunkResult.start = chunk.start;
    chunkResult.end = chunk.end;
    if (chunk.file >= 0)
        chunkResult.file = files.list()->entries()[size_t(chunk.file)].path;
    if (abandoning) {
        files.release(chunk);
        if (inFlight.isEmpty())
            finish();
        return;
    }
    // A chunk read from a file that changed may hold bytes of both versions: never journaled.
    qint64 line = 0;
    if (chunkResult.exitStatus == ExitStatus::Success && !files.isUnchanged(chunk)) {
        chunkResult.exitStatus = ExitStatus::Failure;
        chunkResult.failure = " >> The file changed while it was sent: the chunks stored may not match it ";
    } else if (chunkResult.exitStatus == ExitStatus::Success) {
        const JournalLine stored(chunkResult, chunk.checksummed ? chunk.crc32 : transfer->checksum(), files.journalNumber(chunk));
        // Several files' small chunks would each wait for a flush of their own: the disk's wait overlaps the next chunks.
        line = files.list() ? files.journal().write(stored) : files.journal().append(stored) ? 0 : -1;
        if (line < 0)
            journalFailed(&chunkResult);
    }
    files.release(chunk);
    if (line <= 0) {
        chunkEnded(chunk, chunkResult);
        return;
    }
    // Stored once its line is on disk; meanwhile its slot takes the next chunk.
    unflushed.append(Unflushed{ chunk, chunkResult, line });
    files.journal().flush(this, [this](qint64 covered, bool ok) { linesFlushed(covered, ok); });
    startChunks();
}

void FileUpload::journalFailed(UploadResult *chunkResult) const
{
    chunkResult->exitStatus = ExitStatus::Failure;
    chunkResult->failure = " >> Cannot write the journal: \"" + options.journalPath + "\" ";
}

void FileUpload::linesFlushed(qint64 covered, bool ok)
{
    while (!unflushed.isEmpty() && unflushed.constFirst().line <= covered) {
        Unflushed done = unflushed.takeFirst();
        if (!ok)
            journalFailed(&done.result);
        chunkEnded(done.chunk, done.result);
    }
}

void FileUpload::chunkEnded(const Chunk &chunk, UploadResult chunkResult)
{
    FileList::Entry *entry = chunk.file >= 0 ? &files.list()->entries()[size_t(chunk.file)] : nullptr;
    if (chunkResult.exitStatus == ExitStatus::Success) {
        ++counts.stored;
        counts.bytesSent += chunk.end - chunk.start;
        if (entry) {
            ++entry->stored;
            entry->bytesDone += chunk.end - chunk.start;
        }
    } else {
        ++counts.failed;
        if (entry)
            ++entry->failed;
        // A failure that will repeat ends its file, and with a single input the run: no new chunk, those in flight finish.
        if (chunkResult.exitStatus == ExitStatus::Failure && entry) {
            fileFailed(chunk.file);
        } else if (chunkResult.exitStatus == ExitStatus::Failure) {
            stopping = true;
            status = ExitStatus::Failure;
        }
    }
    if (files.results().isOpen())
        resultWritten(files.results().append(chunkResult));
    console.chunkEnded(chunkResult);
    console.progress(counts, files.size(), clock.elapsed());
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
    const int waiting = transfers->waitingToRetry();
    console.status(counts, files.size(), transfers->bytesUnderWay(), clock.elapsed(), inFlight.size() - waiting, waiting);
}

void FileUpload::finish()
{
    if (ended || !inFlight.isEmpty() || !unflushed.isEmpty())
        return;
    ended = true;
    statusLine.stop();
    runTime.stop();
    if (console.isTerminal())
        console.endStatus(counts, files.size(), clock.elapsed());
    if (status == ExitStatus::Success && counts.failed > 0)
        status = ExitStatus::TemporaryFailure;
    // 0 says every chunk is stored, and nothing else may.
    if (status == ExitStatus::Success && (counts.stored + counts.skipped < files.chunkCount() || !inputEnded))
        status = ExitStatus::Failure;
    const qint64 milliseconds = clock.isValid() ? clock.elapsed() : 0;
    if (files.list())
        endFiles();
    // First, so that the console tells when it could not be written.
    if (files.results().isOpen())
        writeSummary(milliseconds);
    console.summary(status, counts, files.chunkCount(), milliseconds);
    emit finished();
}

void FileUpload::fileFailed(qint64 file)
{
    files.list()->entries()[size_t(file)].ending = ExitStatus::Failure;
    files.stopFile(file);
    status = ExitStatus::Failure;
}

// A line and a result for each file that is not whole, before the run's own.
void FileUpload::endFiles()
{
    for (const FileList::Entry &entry : files.list()->entries()) {
        const ChunkLayout layout(entry.status.st_size, options.chunkSize);
        const qint64 missing = layout.count() - entry.stored - entry.skipped;
        const ExitStatus ending = entry.ending != ExitStatus::Success ? entry.ending : missing > 0 ? ExitStatus::TemporaryFailure : ExitStatus::Success;
        if (missing > 0)
            console.fileEnded(entry.path, ending, missing, layout.count(), layout.fileSize() - entry.bytesDone);
        if (!files.results().isOpen())
            continue;
        QJsonObject summary;
        summary.insert(QStringLiteral("file"), QString::fromUtf8(entry.path));
        if (!Utf8Text::isValid(entry.path))
            summary.insert(QStringLiteral("file_base64"), QString::fromLatin1(entry.path.toBase64()));
        summary.insert(QStringLiteral("exit"), int(ending));
        summary.insert(QStringLiteral("stored"), double(entry.stored));
        summary.insert(QStringLiteral("failed"), double(entry.failed));
        summary.insert(QStringLiteral("skipped"), double(entry.skipped));
        summary.insert(QStringLiteral("chunks"), double(layout.count()));
        resultWritten(files.results().append(summary));
    }
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
    // The status line's figures, for a run that started: a stream's size is not known.
    if (clock.isValid()) {
        const qint64 total = files.size();
        if (total >= 0) {
            const qint64 done = total - counts.bytesToSend + counts.bytesSent;
            summary.insert(QStringLiteral("total_bytes"), double(total));
            summary.insert(QStringLiteral("done_bytes"), double(done));
            summary.insert(QStringLiteral("percent"), total == 0 ? 100.0 : std::floor(done * 1000.0 / total) / 10);
        }
        summary.insert(QStringLiteral("bytes_per_second"), milliseconds > 0 ? std::round(counts.bytesSent * 1000.0 / milliseconds) : 0.0);
    }
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
