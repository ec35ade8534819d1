#include "fileupload.h"

#include "consolemessage.h"
#include "curlsettings.h"
#include "curlmulti.h"
#include "curltransfer.h"
#include "rangedevice.h"
#include "ratelimiter.h"
#include "uploadresult.h"
#include "utf8text.h"

namespace {

// A reply is kept in the journal up to this size: chunk APIs hand back ids that a final call needs.
const int longestJournalReply = 64 << 10;

} // namespace

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
    // Transfers before the multi handle that drives them.
    qDeleteAll(transfers);
    delete multi;
    delete limiter;
}

bool FileUpload::start()
{
    QByteArray line;
    ExitStatus refusal = ExitStatus::Usage;
    if (!files.open(options, &line, &refusal))
        return fail(refusal, line);
    if (files.journal().ignoredLines() > 0)
        ConsoleMessage() << " >> Journal:" << files.journal().ignoredLines() << "lines ignored: they record no stored chunk of this file";

    for (qint64 index = 0; index < files.layout().count(); ++index) {
        if (files.journal().isStored(index))
            ++counts.skipped;
        else
            counts.bytesToSend += files.layout().end(index) - files.layout().start(index);
    }
    startTransfers();
    console.start();
    if (console.isTerminal())
        statusLine.start();
    clock.start();
    if (options.settings.maxTime > 0)
        runTime.start(options.settings.maxTime * qint64(1000));
    if (counts.skipped == files.layout().count())
        ConsoleMessage() << " >> All" << files.layout().count() << "chunks are in the journal";
    startChunks();
    return true;
}

// One transfer for each slot, the slots no more than the chunks to send.
void FileUpload::startTransfers()
{
    const int slotCount = int(qMin<qint64>(options.parallel, files.layout().count() - counts.skipped));
    multi = new CurlMulti;
    if (options.settings.limitRate > 0)
        limiter = new RateLimiter(options.settings.limitRate);
    const CurlTransfer::Settings settings = CurlSettings::forRun(options, limiter);
    for (int slot = 0; slot < slotCount; ++slot) {
        auto *transfer = new CurlTransfer(multi, settings);
        connect(transfer, &CurlTransfer::uploadProgress, this, [this, transfer](qint64 sent) { sending[transfer] = sent; });
        connect(transfer, &CurlTransfer::attemptStarted, this, [this, transfer] { sending[transfer] = 0; });
        connect(transfer, &CurlTransfer::retryScheduled, this, [this, transfer](int wait) {
            const Chunk chunk = inFlight.value(transfer);
            UploadResult attempt = transfer->result();
            attempt.index = chunk.index;
            attempt.start = chunk.start;
            attempt.end = chunk.end;
            console.chunkRetrying(attempt, wait, options.settings.retries);
        });
        connect(transfer, &CurlTransfer::finished, this,
                [this, transfer](const UploadResult &outcome) { chunkFinished(transfer, outcome); });
        transfers << transfer;
        freeSlots << slot;
    }
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
    while (!stopping && !freeSlots.isEmpty()) {
        while (nextIndex < files.layout().count() && files.journal().isStored(nextIndex))
            ++nextIndex;
        if (nextIndex == files.layout().count())
            break;
        Chunk chunk;
        chunk.index = nextIndex++;
        chunk.start = files.layout().start(chunk.index);
        chunk.end = files.layout().end(chunk.index);
        // A figure may turn an address that worked for the others into one that does not.
        const QByteArray url = options.urlTemplate.address(files.layout(), chunk.index);
        const QByteArray problem = UrlTemplate::addressProblem(url);
        if (!problem.isEmpty()) {
            fail(ExitStatus::Usage, " >> Invalid URL_TEMPLATE: chunk " + QByteArray::number(chunk.index) + ": " + problem + ' ');
            stopping = true;
            break;
        }
        chunk.slot = freeSlots.takeFirst();
        RangeDevice *body = new RangeDevice(files.input().descriptor(), RangeDevice::Ownership::Shared, chunk.start, chunk.end - chunk.start, nullptr);
        body->setChecksumEnabled(true);
        CurlTransfer *transfer = transfers.at(chunk.slot);
        inFlight.insert(transfer, chunk);
        // Each chunk's own: the last chunk of a long run is retried as the first was.
        transfer->start(url, body, QDeadlineTimer(options.retryTime * qint64(1000), Qt::PreciseTimer));
    }
    if (inFlight.isEmpty())
        finish();
}

void FileUpload::chunkFinished(CurlTransfer *transfer, const UploadResult &outcome)
{
    const Chunk chunk = inFlight.take(transfer);
    sending.remove(transfer);
    freeSlots << chunk.slot;
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
    if (chunkResult.exitStatus == ExitStatus::Success && !files.input().isUnchanged()) {
        chunkResult.exitStatus = ExitStatus::Failure;
        chunkResult.failure = " >> The file changed while it was sent: the chunks stored may not match it ";
    } else if (chunkResult.exitStatus == ExitStatus::Success && !record(chunk, chunkResult, transfer->checksum())) {
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
    console.progress(counts, files.layout().fileSize(), clock.elapsed());
    startChunks();
}

bool FileUpload::record(const Chunk &chunk, const UploadResult &outcome, quint32 crc)
{
    QJsonObject line;
    line.insert(QStringLiteral("index"), double(chunk.index));
    line.insert(QStringLiteral("start"), double(chunk.start));
    line.insert(QStringLiteral("end"), double(chunk.end));
    line.insert(QStringLiteral("http_status"), outcome.httpStatus);
    line.insert(QStringLiteral("crc32"), double(crc));
    QJsonValue etag;
    for (const auto &header : outcome.headers)
        if (header.first.compare("ETag", Qt::CaseInsensitive) == 0)
            etag = QString::fromUtf8(header.second);
    line.insert(QStringLiteral("etag"), etag);
    const bool kept = outcome.reply.size() <= longestJournalReply;
    const bool text = Utf8Text::isValid(outcome.reply);
    line.insert(QStringLiteral("reply"), kept && text ? QJsonValue(QString::fromUtf8(outcome.reply)) : QJsonValue());
    line.insert(QStringLiteral("reply_base64"),
                kept && !text ? QJsonValue(QString::fromLatin1(outcome.reply.toBase64())) : QJsonValue());
    return files.journal().append(line);
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
    qint64 underWay = 0;
    for (const qint64 bytes : qAsConst(sending))
        underWay += bytes;
    console.status(counts, files.layout().fileSize(), underWay, clock.elapsed(), inFlight.size());
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
    if (status == ExitStatus::Success && counts.stored + counts.skipped < files.layout().count())
        status = ExitStatus::Failure;
    const qint64 milliseconds = clock.isValid() ? clock.elapsed() : 0;
    // First, so that the console tells when it could not be written.
    if (files.results().isOpen()) {
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
    console.summary(status, counts, files.layout().count(), milliseconds);
    emit finished();
}

bool FileUpload::fail(ExitStatus failure, const QByteArray &line)
{
    status = failure;
    console.printLine(line);
    return false;
}

// Its own meta-object code here, not in the library's shared moc unit, so that uploader links no libcurl.
#include "moc_fileupload.cpp"
