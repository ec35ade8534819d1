#include "fileupload.h"

#include "consolemessage.h"
#include "filetransfer.h"
#include "pathcheck.h"
#include "rangedevice.h"
#include "uploadarguments.h"
#include "uploadjob.h"
#include "uploadresult.h"
#include "utf8text.h"

#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QUrl>

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

} // namespace

FileUpload::FileUpload(const FileUploadOptions &options, QObject *parent)
    : QObject(parent)
    , options(options)
{
    statusLine.setInterval(250);
    connect(&statusLine, &QTimer::timeout, this, &FileUpload::drawStatusLine);
}

FileUpload::~FileUpload()
{
    // Jobs before the managers that made their replies.
    qDeleteAll(inFlight.keys());
    qDeleteAll(managers);
    if (input >= 0)
        ::close(input);
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

    if (!options.resultPath.isEmpty()) {
        const bool opened = options.resultPath == "-" ? result.open(STDOUT_FILENO, QIODevice::WriteOnly | QIODevice::Unbuffered)
                                                      : (result.setFileName(QFile::decodeName(options.resultPath)),
                                                         result.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered));
        if (!opened)
            return fail(ExitStatus::Usage, " >> Cannot write --result: \"" + options.resultPath + "\" ");
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
    for (int slot = 0; slot < slotCount; ++slot) {
        QNetworkAccessManager *manager = new QNetworkAccessManager;
        if (!options.proxyHost.isEmpty())
            manager->setProxy(QNetworkProxy(QNetworkProxy::HttpProxy, QString::fromUtf8(options.proxyHost), options.proxyPort));
        managers << manager;
        freeSlots << slot;
    }
    retryDeadline.setRemainingTime(options.retryTime * qint64(1000));
    terminal = !options.quiet && ::isatty(STDERR_FILENO);
    if (terminal)
        statusLine.start();
    clock.start();
    if (toSend == 0)
        ConsoleMessage() << " >> All" << layout.count() << "chunks are in the journal";
    startChunks();
    return true;
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
    if (stopping && status == signalStatus)
        return;
    stopping = true;
    status = signalStatus;
    const QList<UploadJob *> jobs = inFlight.keys();
    for (UploadJob *job : jobs)
        job->abort(" >> Interrupted ");
    if (inFlight.isEmpty())
        finish();
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
        UploadJob *job = new UploadJob(managers.at(chunk.slot));
        job->setRequest(QUrl(QString::fromUtf8(url)), options.apiToken, chunk.end - chunk.start);
        job->setIdleTimeout(options.idleTimeout);
        job->setRetries(options.retries);
        job->setRetryDeadline(retryDeadline);
        job->setProxyCredentials(options.proxyUser, options.proxyPassword);
        connect(job, &UploadJob::uploadProgress, this, [this, job](qint64 sent) { sending[job] = sent; });
        connect(job, &UploadJob::attemptStarted, this, [this, job] { sending[job] = 0; });
        connect(job, &UploadJob::finished, this, [this, job](const UploadResult &outcome) { chunkFinished(job, outcome); });
        inFlight.insert(job, chunk);
        job->start(body);
    }
    if (inFlight.isEmpty())
        finish();
}

void FileUpload::chunkFinished(UploadJob *job, const UploadResult &outcome)
{
    const Chunk chunk = inFlight.take(job);
    sending.remove(job);
    freeSlots << chunk.slot;
    job->deleteLater();
    UploadResult chunkResult = outcome;
    chunkResult.index = chunk.index;
    chunkResult.start = chunk.start;
    chunkResult.end = chunk.end;
    if (status == ExitStatus::Interrupted || status == ExitStatus::Terminated) {
        if (inFlight.isEmpty())
            finish();
        return;
    }
    // A chunk read from a file that changed may hold bytes of both versions: never journaled.
    if (chunkResult.exitStatus == ExitStatus::Success && !fileUnchanged()) {
        chunkResult.exitStatus = ExitStatus::Failure;
        chunkResult.failure = " >> The file changed while it was sent: the chunks stored may not match it ";
    } else if (chunkResult.exitStatus == ExitStatus::Success && !record(chunk, chunkResult, job->checksum())) {
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
    if (result.isOpen())
        outcome.writeJson([this](const char *data, qint64 size) { return result.write(data, size) == size; });
}

void FileUpload::report(const Chunk &chunk, const UploadResult &outcome)
{
    const bool succeeded = outcome.exitStatus == ExitStatus::Success;
    if (succeeded && (options.quiet || terminal))
        return;
    QByteArray line = " >> Chunk " + QByteArray::number(chunk.index) + " [" + QByteArray::number(chunk.start) + ", "
                      + QByteArray::number(chunk.end) + "): ";
    if (succeeded) {
        line += "HTTP " + QByteArray::number(outcome.httpStatus);
    } else {
        QByteArray message = outcome.failure.trimmed();
        if (message.startsWith(">> "))
            message.remove(0, 3);
        line += message + ", status " + QByteArray::number(int(outcome.exitStatus));
    }
    line += ", " + seconds(qMax<qint64>(0, outcome.elapsedMilliseconds)) + " s ";
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
    if (terminal)
        ConsoleMessage::writeStatus(QByteArray());
    if (status == ExitStatus::Success && failed > 0)
        status = ExitStatus::TemporaryFailure;
    const qint64 milliseconds = clock.isValid() ? clock.elapsed() : 0;
    ConsoleMessage() << " >> Chunks:" << stored << "stored," << failed << "failed," << skipped << "from the journal, of" << layout.count();
    if (status == ExitStatus::Success)
        FileTransfer::printTransferReport(milliseconds, bytesSent);
    else
        ConsoleMessage() << " >> Exit with error!";
    if (result.isOpen()) {
        QJsonObject summary;
        summary.insert(QStringLiteral("exit"), int(status));
        summary.insert(QStringLiteral("stored"), double(stored));
        summary.insert(QStringLiteral("failed"), double(failed));
        summary.insert(QStringLiteral("skipped"), double(skipped));
        summary.insert(QStringLiteral("bytes"), double(bytesSent));
        summary.insert(QStringLiteral("seconds"), milliseconds / 1000.0);
        result.write(QJsonDocument(summary).toJson(QJsonDocument::Compact) + '\n');
    }
    emit finished();
}

bool FileUpload::fail(ExitStatus failure, const QByteArray &line)
{
    status = failure;
    ConsoleMessage::writeLine(line);
    return false;
}
