#include "fileupload.h"

#include "certificateauthorities.h"
#include "consolemessage.h"
#include "curlmulti.h"
#include "curltransfer.h"
#include "filetransfer.h"
#include "interruptwatcher.h"
#include "pathcheck.h"
#include "rangedevice.h"
#include "ratelimiter.h"
#include "uploadarguments.h"
#include "uploadresult.h"
#include "utf8text.h"

#include <QJsonDocument>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>

#include <cerrno>
#include <climits>
#include <csignal>
#include <limits>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A reply is kept in the journal up to this size: chunk APIs hand back ids that a final call needs.
const int longestJournalReply = 64 << 10;

// Who can set a file's change time back: nobody, unlike its modification time.
QJsonObject fileIdentity(const QByteArray &path, const struct stat &status)
{
    const auto nanoseconds = [](const struct timespec &time) { return QString::number(qint64(time.tv_sec) * 1000000000 + time.tv_nsec); };
    QJsonObject identity;
    identity.insert(QStringLiteral("file"), QString::fromUtf8(path));
    identity.insert(QStringLiteral("size"), double(status.st_size));
    identity.insert(QStringLiteral("mtime_ns"), nanoseconds(status.st_mtim));
    identity.insert(QStringLiteral("ctime_ns"), nanoseconds(status.st_ctim));
    identity.insert(QStringLiteral("device"), QString::number(quint64(status.st_dev)));
    identity.insert(QStringLiteral("inode"), QString::number(quint64(status.st_ino)));
    return identity;
}

QByteArray seconds(qint64 milliseconds)
{
    return QByteArray::number(milliseconds / 1000.0, 'f', 3);
}

QByteArray chunkLabel(qint64 index, qint64 start, qint64 end)
{
    return " >> Chunk " + QByteArray::number(index) + " [" + QByteArray::number(start) + ", " + QByteArray::number(end) + "): ";
}

// "HTTP 503 Service Unavailable", empty without an answer. The reason is the
// server's text: no control character of it reaches a terminal.
QByteArray answer(const UploadResult &outcome)
{
    if (outcome.httpStatus <= 0)
        return QByteArray();
    QByteArray reason = outcome.reason.trimmed();
    for (char &c : reason)
        if (uchar(c) < 0x20 || c == 0x7f)
            c = '?';
    return "HTTP " + QByteArray::number(outcome.httpStatus) + (reason.isEmpty() ? QByteArray() : ' ' + reason);
}

QByteArray failureText(const UploadResult &outcome)
{
    QByteArray message = outcome.failure.trimmed();
    if (message.startsWith(">> "))
        message.remove(0, 3);
    return message;
}

} // namespace

FileUpload::FileUpload(const FileUploadOptions &options, QObject *parent)
    : QObject(parent)
    , options(options)
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
    if (input >= 0)
        ::close(input);
    if (resultDescriptor > STDERR_FILENO)
        ::close(resultDescriptor);
}

bool FileUpload::start()
{
    const QByteArray paths = pathProblem();
    if (!paths.isEmpty())
        return fail(ExitStatus::Usage, paths);
    input = RangeDevice::openRegularFile(options.filePath.constData());
    struct stat file = {};
    if (input < 0 || ::fstat(input, &file) != 0)
        return fail(ExitStatus::Failure, " >> Cannot Open input file. ");
    layout = ChunkLayout(file.st_size, options.chunkSize);
    const QByteArray problem = options.urlTemplate.problem(layout);
    if (!problem.isEmpty())
        return fail(ExitStatus::Usage, " >> Invalid URL_TEMPLATE: " + problem + ' ');

    identity = fileIdentity(options.filePath, file);
    QJsonObject header = identity;
    header.insert(QStringLiteral("chunk_size"), double(options.chunkSize));
    // The journal is a file like any other: no password in it.
    header.insert(QStringLiteral("template"), QString::fromUtf8(UploadArguments::withoutPassword(options.urlTemplate.text())));
    QByteArray journalProblem;
    const UploadJournal::Opening opening = journal.open(options.journalPath, header, options.restart, &journalProblem);
    if (opening == UploadJournal::Opening::Mismatch)
        return fail(ExitStatus::Usage, " >> Journal not usable: " + journalProblem + "; --restart sends every chunk again ");
    if (opening != UploadJournal::Opening::Opened)
        return fail(ExitStatus::Usage, " >> Journal not usable: " + journalProblem + ' ');

    if (options.resultPath == "-") {
        resultDescriptor = STDOUT_FILENO;
    } else if (!options.resultPath.isEmpty()) {
        // A FIFO without a reader would block the open, where no signal ends the run: refused instead.
        resultDescriptor = ::open(options.resultPath.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666);
        const QByteArray line = " >> Cannot write --result: \"" + options.resultPath + "\" ";
        if (resultDescriptor < 0)
            return fail(ExitStatus::Usage, errno == ENXIO ? line + "is a FIFO without a reader " : line);
        // Left non-blocking: a reader that is slower than the run is waited for in poll.
    }
    if (!journal.begin(&journalProblem))
        return fail(ExitStatus::Usage, " >> Journal not usable: " + journalProblem + ' ');
    if (journal.ignoredLines() > 0)
        ConsoleMessage() << " >> Journal:" << journal.ignoredLines() << "lines ignored: they record no stored chunk of this file";

    qint64 toSend = 0;
    for (qint64 index = 0; index < layout.count(); ++index) {
        if (journal.isStored(index)) {
            ++skipped;
            continue;
        }
        ++toSend;
        bytesToSend += layout.end(index) - layout.start(index);
    }
    const int slotCount = int(qMin<qint64>(options.parallel, toSend));
    multi = new CurlMulti;
    if (options.settings.limitRate > 0)
        limiter = new RateLimiter(options.settings.limitRate);
    const CurlTransfer::Settings settings = transferSettings();
    for (int slot = 0; slot < slotCount; ++slot) {
        auto *transfer = new CurlTransfer(multi, settings);
        connect(transfer, &CurlTransfer::uploadProgress, this, [this, transfer](qint64 sent) { sending[transfer] = sent; });
        connect(transfer, &CurlTransfer::attemptStarted, this, [this, transfer] { sending[transfer] = 0; });
        connect(transfer, &CurlTransfer::retryScheduled, this,
                [this, transfer](int wait) { reportRetry(inFlight.value(transfer), transfer->result(), wait); });
        connect(transfer, &CurlTransfer::finished, this,
                [this, transfer](const UploadResult &outcome) { chunkFinished(transfer, outcome); });
        transfers << transfer;
        freeSlots << slot;
    }
    terminal = !options.quiet && ::isatty(STDERR_FILENO);
    if (terminal)
        statusLine.start();
    clock.start();
    if (options.settings.maxTime > 0) {
        runTime.start(options.settings.maxTime * qint64(1000));
    }
    if (toSend == 0)
        ConsoleMessage() << " >> All" << layout.count() << "chunks are in the journal";
    startChunks();
    return true;
}

// The run's settings for libcurl, with the client certificate that the environment gave Qt.
CurlTransfer::Settings FileUpload::transferSettings() const
{
    CurlTransfer::Settings settings;
    settings.upload = options.settings;
    settings.limiter = limiter;
    if (!options.urlTemplate.text().toLower().startsWith("https:"))
        return settings;
    CertificateAuthorities::forLibcurl(options.settings, &settings.authorityFile, &settings.authorityFolders);
    const QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    if (!configuration.localCertificate().isNull()) {
        settings.clientCertificate = configuration.localCertificate().toPem();
        settings.clientKey = configuration.privateKey().toPem();
    }
    return settings;
}

// Nothing is created, cut or read until the three paths are known to be
// three files, and no link of a stranger's is followed.
QByteArray FileUpload::pathProblem() const
{
    const QByteArray journalLine = " >> Journal not usable: \"" + options.journalPath + "\" ";
    const QByteArray resultLine = " >> Cannot write --result: \"" + options.resultPath + "\" ";
    const QByteArray foreign = "is a link of another user in a shared directory ";
    if (PathCheck::isForeignLink(options.journalPath))
        return journalLine + foreign;
    if (PathCheck::isSameFile(options.journalPath, options.filePath))
        return journalLine + "is FILE itself ";
    if (options.resultPath.isEmpty() || options.resultPath == "-")
        return QByteArray();
    if (PathCheck::isForeignLink(options.resultPath))
        return resultLine + foreign;
    if (PathCheck::isSameFile(options.resultPath, options.filePath))
        return resultLine + "is FILE itself ";
    if (PathCheck::isSameFile(options.resultPath, options.journalPath))
        return resultLine + "is the journal ";
    return QByteArray();
}

// The file still has the size and times it had at the start, and its name
// still leads to it.
bool FileUpload::fileUnchanged() const
{
    struct stat opened = {};
    struct stat named = {};
    return ::fstat(input, &opened) == 0 && ::stat(options.filePath.constData(), &named) == 0 && named.st_dev == opened.st_dev
           && named.st_ino == opened.st_ino && fileIdentity(options.filePath, opened) == identity;
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
    printLine(line);
    if (status == ExitStatus::Success)
        status = ExitStatus::TemporaryFailure;
    abandonChunks(line);
}

void FileUpload::startChunks()
{
    while (!stopping && !freeSlots.isEmpty()) {
        while (nextIndex < layout.count() && journal.isStored(nextIndex))
            ++nextIndex;
        if (nextIndex == layout.count())
            break;
        Chunk chunk;
        chunk.index = nextIndex++;
        chunk.start = layout.start(chunk.index);
        chunk.end = layout.end(chunk.index);
        // A figure may turn an address that worked for the others into one that does not.
        const QByteArray url = options.urlTemplate.address(layout, chunk.index);
        const QByteArray problem = UrlTemplate::addressProblem(url);
        if (!problem.isEmpty()) {
            fail(ExitStatus::Usage, " >> Invalid URL_TEMPLATE: chunk " + QByteArray::number(chunk.index) + ": " + problem + ' ');
            stopping = true;
            break;
        }
        chunk.slot = freeSlots.takeFirst();
        RangeDevice *body = new RangeDevice(input, RangeDevice::Ownership::Shared, chunk.start, chunk.end - chunk.start, nullptr);
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
    if (chunkResult.exitStatus == ExitStatus::Success && !fileUnchanged()) {
        chunkResult.exitStatus = ExitStatus::Failure;
        chunkResult.failure = " >> The file changed while it was sent: the chunks stored may not match it ";
    } else if (chunkResult.exitStatus == ExitStatus::Success && !record(chunk, chunkResult, transfer->checksum())) {
        chunkResult.exitStatus = ExitStatus::Failure;
        chunkResult.failure = " >> Cannot write the journal: \"" + options.journalPath + "\" ";
    }
    if (chunkResult.exitStatus == ExitStatus::Success) {
        ++stored;
        bytesSent += chunk.end - chunk.start;
    } else {
        ++failed;
        // A failure that will repeat: no new chunk, those in flight finish.
        if (chunkResult.exitStatus == ExitStatus::Failure) {
            stopping = true;
            status = ExitStatus::Failure;
        }
    }
    writeResult(chunkResult);
    report(chunk, chunkResult);
    showProgress();
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
    return journal.append(line);
}

void FileUpload::writeResult(const UploadResult &outcome)
{
    if (resultDescriptor < 0)
        return;
    Written written = Written::Whole;
    outcome.writeJson([this, &written](const char *data, qint64 size) { return (written = writeResultBytes(data, size)) == Written::Whole; });
    if (written != Written::Whole)
        resultFailed(written);
}

// Waits in poll for the reader, and for a signal or the end of the run time
// as well, so that a reader that stops reading never holds the run. A reader
// that went away is a failed write, not a SIGPIPE that would end the process
// with a status no caller expects.
FileUpload::Written FileUpload::writeResultBytes(const char *data, qint64 size)
{
    sigset_t brokenPipe;
    sigset_t previous;
    sigemptyset(&brokenPipe);
    sigaddset(&brokenPipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &brokenPipe, &previous);
    Written written = Written::Whole;
    while (size > 0 && written == Written::Whole) {
        struct pollfd waits[2] = { { resultDescriptor, POLLOUT, 0 }, { InterruptWatcher::wakeDescriptor(), POLLIN, 0 } };
        const qint64 left = runTime.remainingTime();
        const int ready = ::poll(waits, 2, left < 0 ? -1 : int(qMin<qint64>(left, std::numeric_limits<int>::max())));
        if (ready < 0 && errno == EINTR)
            continue;
        // A signal ends only a wait: a file that takes the bytes now gets them, so that no line is lost to it.
        const bool writable = waits[0].revents != 0;
        if (ready <= 0 || (!writable && (waits[1].revents & POLLIN))) {
            written = ready < 0 ? Written::Failed : Written::Stopped;
            break;
        }
        // A pipe that polls writable takes a page without blocking.
        const ssize_t count = ::write(resultDescriptor, data, size_t(qMin<qint64>(size, PIPE_BUF)));
        if (count < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (count < 0 && errno == EPIPE) {
            const struct timespec now = {};
            ::sigtimedwait(&brokenPipe, nullptr, &now);
        }
        if (count <= 0)
            written = Written::Failed;
        data += qMax<ssize_t>(count, 0);
        size -= qMax<ssize_t>(count, 0);
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return written;
}

// Nothing more is written after a failed write, so that no line follows a
// torn one. A write stopped by a signal or the run time leaves the ending to
// them: the loop takes the signal, or the timer fires, next.
void FileUpload::resultFailed(Written written)
{
    if (resultDescriptor > STDERR_FILENO)
        ::close(resultDescriptor);
    resultDescriptor = -1;
    printLine(" >> Cannot write --result: \"" + options.resultPath + "\" ");
    if (written == Written::Stopped)
        return;
    stopping = true;
    if (status == ExitStatus::Success || status == ExitStatus::TemporaryFailure)
        status = ExitStatus::Failure;
}

void FileUpload::report(const Chunk &chunk, const UploadResult &outcome)
{
    const bool succeeded = outcome.exitStatus == ExitStatus::Success;
    if (succeeded && (options.quiet || terminal))
        return;
    QByteArray line = chunkLabel(chunk.index, chunk.start, chunk.end);
    if (succeeded) {
        line += "HTTP " + QByteArray::number(outcome.httpStatus);
    } else {
        const QByteArray http = answer(outcome);
        line += (http.isEmpty() ? QByteArray() : http + ", ") + failureText(outcome) + ", status " + QByteArray::number(int(outcome.exitStatus));
    }
    line += ", " + seconds(qMax<qint64>(0, outcome.elapsedMilliseconds)) + " s ";
    printLine(line);
}

// The attempt that failed is attempts; the next one is attempts + 1 of retries + 1.
void FileUpload::reportRetry(const Chunk &chunk, const UploadResult &outcome, int wait)
{
    const QByteArray http = answer(outcome);
    printLine(chunkLabel(chunk.index, chunk.start, chunk.end) + (http.isEmpty() ? failureText(outcome) : http) + ", retrying in "
              + QByteArray::number(wait) + " seconds: attempt " + QByteArray::number(outcome.attempts + 1) + " of "
              + QByteArray::number(options.settings.retries + 1) + ' ');
}

void FileUpload::printLine(const QByteArray &line)
{
    if (terminal)
        ConsoleMessage::writeStatus(QByteArray());
    ConsoleMessage::writeLine(line);
}

// The whole file, journal included, in steps of ten percent.
void FileUpload::showProgress()
{
    const qint64 done = layout.fileSize() - bytesToSend + bytesSent;
    const int percent = layout.fileSize() == 0 ? 100 : int(done * 100 / layout.fileSize());
    if (options.quiet || terminal || percent / 10 <= lastPercent / 10)
        return;
    lastPercent = percent;
    const double rate = bytesSent / qMax(0.001, clock.elapsed() / 1000.0) / 1e6;
    ConsoleMessage::writeLine(" >> Progress: " + QByteArray::number(percent / 10 * 10) + " % of " + QByteArray::number(layout.fileSize())
                              + " Byte, " + QByteArray::number(rate, 'f', 1) + " MB/s ");
}

void FileUpload::drawStatusLine()
{
    qint64 underWay = 0;
    for (const qint64 bytes : qAsConst(sending))
        underWay += bytes;
    const qint64 done = layout.fileSize() - bytesToSend + bytesSent + underWay;
    const double elapsed = qMax(0.001, clock.elapsed() / 1000.0);
    const double rate = (bytesSent + underWay) / elapsed;
    const QByteArray left = rate > 0 ? QByteArray::number(qint64((layout.fileSize() - done) / rate)) + " s left" : QByteArray("--");
    ConsoleMessage::writeStatus(" >> " + QByteArray::number(done) + " of " + QByteArray::number(layout.fileSize()) + " Byte, "
                                + QByteArray::number(rate / 1e6, 'f', 1) + " MB/s, " + left + ", " + QByteArray::number(inFlight.size())
                                + " in flight");
}

void FileUpload::finish()
{
    if (ended || !inFlight.isEmpty())
        return;
    ended = true;
    statusLine.stop();
    runTime.stop();
    if (terminal)
        ConsoleMessage::writeStatus(QByteArray());
    if (status == ExitStatus::Success && failed > 0)
        status = ExitStatus::TemporaryFailure;
    // 0 says every chunk is stored, and nothing else may.
    if (status == ExitStatus::Success && stored + skipped < layout.count())
        status = ExitStatus::Failure;
    const qint64 milliseconds = clock.isValid() ? clock.elapsed() : 0;
    // First, so that the console tells when it could not be written.
    if (resultDescriptor >= 0) {
        QJsonObject summary;
        summary.insert(QStringLiteral("exit"), int(status));
        summary.insert(QStringLiteral("stored"), double(stored));
        summary.insert(QStringLiteral("failed"), double(failed));
        summary.insert(QStringLiteral("skipped"), double(skipped));
        summary.insert(QStringLiteral("bytes"), double(bytesSent));
        summary.insert(QStringLiteral("seconds"), milliseconds / 1000.0);
        const QByteArray line = QJsonDocument(summary).toJson(QJsonDocument::Compact) + '\n';
        const Written written = writeResultBytes(line.constData(), line.size());
        if (written != Written::Whole)
            resultFailed(written);
        // The run ends here: no signal or timer will decide after this.
        if (written != Written::Whole && status == ExitStatus::Success)
            status = ExitStatus::Failure;
    }
    ConsoleMessage() << " >> Chunks:" << stored << "stored," << failed << "failed," << skipped << "from the journal, of" << layout.count();
    // Nothing sent, nothing timed: no speed of 0 bytes in 0 seconds (nan).
    if (status == ExitStatus::Success && stored == 0)
        ConsoleMessage() << " >> Bye...";
    else if (status == ExitStatus::Success)
        FileTransfer::printTransferReport(qMax<qint64>(1, milliseconds), bytesSent);
    else
        ConsoleMessage() << " >> Exit with error!";
    emit finished();
}

bool FileUpload::fail(ExitStatus failure, const QByteArray &line)
{
    status = failure;
    printLine(line);
    return false;
}

// Its own meta-object code here, not in the library's shared moc unit, so that uploader links no libcurl.
#include "moc_fileupload.cpp"
