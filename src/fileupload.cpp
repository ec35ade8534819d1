#include "fileupload.h"

#include "consolemessage.h"
#include "curltransfer.h"
#include "journalline.h"
#include "rangedevice.h"
#include "requestheaders.h"
#include "transferpool.h"
#include "uploadresult.h"

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
    if (!options.stream && counts.skipped == files.layout().count()) {
        ConsoleMessage() << " >> All" << files.layout().count() << "chunks are in the journal";
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
            console.chunkPlanned(expected, expected * chunkSize, expected * chunkSize + length, QByteArray());
        console.dryRunEnded(-1, expected, chunkSize);
        return false;
    }
    Chunk chunk;
    RangeDevice *body = nullptr;
    QByteArray line;
    qint64 unused = 0;
    const auto skippedUpTo = [this, &expected](qint64 index) {
        for (; expected < index; ++expected)
            console.chunkPlanned(expected, files.layout().start(expected), files.layout().end(expected), QByteArray());
    };
    while (files.next(&chunk, &body, &unused, &line) == UploadFiles::Next::Ready) {
        delete body;
        skippedUpTo(chunk.index);
        const QByteArray url = files.address(options.urlTemplate, chunk);
        const QByteArray problem = UrlTemplate::addressProblem(url);
        if (!problem.isEmpty())
            return fail(ExitStatus::Usage, " >> Invalid URL_TEMPLATE: chunk " + QByteArray::number(chunk.index) + ": " + problem + ' ');
        console.chunkPlanned(chunk.index, chunk.start, chunk.end, RequestHeaders::masked(url, options.settings.apiToken));
        ++toSend;
        expected = chunk.index + 1;
    }
    skippedUpTo(files.layout().count());
    console.dryRunEnded(toSend, counts.skipped, chunkSize);
    return false;
}

// One transfer for each slot, the slots no more than the chunks to send.
void FileUpload::startTransfers()
{
    const int slotCount = options.stream ? options.parallel : int(qMin<qint64>(options.parallel, files.layout().count() - counts.skipped));
    transfers = new TransferPool(options, clientCertificate, slotCount);
    connect(transfers, &TransferPool::retryScheduled, this, &FileUpload::chunkRetrying);
    connect(transfers, &TransferPool::finished, this, &FileUpload::chunkFinished);
    connect(transfers, &TransferPool::headerLines, this, [this](CurlTransfer *transfer, const QByteArray &lines) {
        const Chunk chunk = inFlight.value(transfer);
        console.headerLines(chunk.index, chunk.start, chunk.end, lines);
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
    console.chunkRetrying(attempt, wait, options.settings.retries);
}

void FileUpload::chunkFinished(CurlTransfer *transfer, const UploadResult &outcome)
{
    const Chunk chunk = inFlight.take(transfer);
    freeSlots << chunk.slot;
    files.release(chunk);
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
    if (chunkResult.exitStatus == ExitStatus::Success && !files.isUnchanged()) {
        chunkResult.exitStatus = ExitStatus::Failure;
        chunkResult.failure = " >> The file changed while it was sent: the chunks stored may not match it ";
    } else if (chunkResult.exitStatus == ExitStatus::Success && !files.journal().append(JournalLine(chunkResult, chunk.checksummed ? chunk.crc32 : transfer->checksum()))) {
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
    if (ended || !inFlight.isEmpty())
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
    // First, so that the console tells when it could not be written.
    if (files.results().isOpen())
        writeSummary(milliseconds);
    console.summary(status, counts, files.chunkCount(), milliseconds);
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
