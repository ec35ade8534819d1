#include "fileuploadconsole.h"

#include "consolemessage.h"
#include "filelist.h"
#include "transferreport.h"
#include "uploadresult.h"

#include <sys/ioctl.h>
#include <unistd.h>

namespace {

QByteArray seconds(qint64 milliseconds)
{
    return QByteArray::number(milliseconds / 1000.0, 'f', 3);
}

// A chunk of one of several files names its file.
QByteArray chunkLabel(const QByteArray &file, qint64 index, qint64 start, qint64 end)
{
    const QByteArray range = QByteArray::number(index) + " [" + QByteArray::number(start) + ", " + QByteArray::number(end) + "): ";
    return file.isEmpty() ? " >> Chunk " + range : " >> File \"" + FileList::shown(file) + "\", chunk " + range;
}

QByteArray chunkLabel(const UploadResult &chunk)
{
    return chunkLabel(chunk.file, chunk.index, chunk.start, chunk.end);
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

double elapsedSeconds(qint64 milliseconds)
{
    return qMax(0.001, milliseconds / 1000.0);
}

} // namespace

FileUploadConsole::FileUploadConsole(bool quiet)
    : quiet(quiet)
{
}

void FileUploadConsole::start()
{
    terminal = !quiet && ::isatty(STDERR_FILENO);
    bool valid = false;
    const int given = qEnvironmentVariableIntValue("COLUMNS", &valid);
    if (valid && given > 0)
        columns = given;
}

bool FileUploadConsole::isTerminal() const
{
    return terminal;
}

void FileUploadConsole::printLine(const QByteArray &line) const
{
    if (terminal)
        ConsoleMessage::writeStatus(QByteArray());
    ConsoleMessage::writeLine(line);
}

void FileUploadConsole::chunkEnded(const UploadResult &outcome) const
{
    const bool succeeded = outcome.exitStatus == ExitStatus::Success;
    if (succeeded && (quiet || terminal))
        return;
    QByteArray line = chunkLabel(outcome);
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
void FileUploadConsole::chunkRetrying(const UploadResult &attempt, int wait, int retries) const
{
    const QByteArray http = answer(attempt);
    printLine(chunkLabel(attempt) + (http.isEmpty() ? failureText(attempt) : http) + ", retrying in " + QByteArray::number(wait)
              + " seconds: attempt " + QByteArray::number(attempt.attempts + 1) + " of " + QByteArray::number(retries + 1) + ' ');
}

// The whole file, journal included.
void FileUploadConsole::progress(const Counts &counts, qint64 fileSize, qint64 elapsedMilliseconds)
{
    if (quiet || terminal || fileSize < 0)
        return;
    const double rate = counts.bytesSent / elapsedSeconds(elapsedMilliseconds) / 1e6;
    steps.update(fileSize - counts.bytesToSend + counts.bytesSent, fileSize, rate);
}

// The terminal's width now, so that a resized window gets lines that fit.
int FileUploadConsole::width() const
{
    struct winsize size = {};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
    return columns;
}

void FileUploadConsole::status(const Counts &counts, qint64 fileSize, qint64 underWay, qint64 elapsedMilliseconds, int inFlight, int retrying) const
{
    Progress::Figures figures;
    figures.total = fileSize;
    figures.done = (fileSize < 0 ? 0 : fileSize - counts.bytesToSend) + counts.bytesSent + underWay;
    figures.bytesPerSecond = (counts.bytesSent + underWay) / elapsedSeconds(elapsedMilliseconds);
    figures.inFlight = inFlight;
    figures.retrying = retrying;
    ConsoleMessage::writeStatus(Progress::statusLine(figures, width()));
}

void FileUploadConsole::endStatus(const Counts &counts, qint64 fileSize, qint64 elapsedMilliseconds) const
{
    status(counts, fileSize, 0, elapsedMilliseconds, 0, 0);
    ConsoleMessage::writeLine(QByteArray());
}

// Chunks in flight together answer in any order: each block says whose it is.
void FileUploadConsole::headerLines(const QByteArray &file, qint64 index, qint64 start, qint64 end, const QByteArray &lines) const
{
    printLine(chunkLabel(file, index, start, end) + (lines.startsWith('>') ? "request " : "reply ") + '\n' + lines);
}

void FileUploadConsole::chunkPlanned(const QByteArray &file, qint64 index, qint64 start, qint64 end, const QByteArray &address) const
{
    ConsoleMessage::writeLine(chunkLabel(file, index, start, end) + (address.isEmpty() ? QByteArray("in the journal, not sent ") : "to " + address + ' '));
}

void FileUploadConsole::dryRunEnded(qint64 toSend, qint64 skipped, qint64 chunkSize) const
{
    if (toSend < 0)
        ConsoleMessage() << " >> Dry run:" << skipped << "chunks from the journal; the stream is not read: its chunks of" << chunkSize
                         << "Byte go as it is read; nothing sent";
    else
        ConsoleMessage() << " >> Dry run:" << toSend << "chunks to send," << skipped << "from the journal; nothing sent";
}

void FileUploadConsole::fileEnded(const QByteArray &path, ExitStatus status, qint64 missing, qint64 chunkCount, qint64 missingBytes) const
{
    printLine(" >> File \"" + FileList::shown(path) + "\": status " + QByteArray::number(int(status)) + ", " + QByteArray::number(missing) + " of "
              + QByteArray::number(chunkCount) + " chunks not stored (" + QByteArray::number(missingBytes) + " Byte) ");
}

void FileUploadConsole::summary(ExitStatus status, const Counts &counts, qint64 chunkCount, qint64 elapsedMilliseconds) const
{
    ConsoleMessage() << " >> Chunks:" << counts.stored << "stored," << counts.failed << "failed," << counts.skipped << "from the journal, of"
                     << chunkCount;
    // Nothing sent, nothing timed: no speed of 0 bytes in 0 seconds (nan).
    if (status == ExitStatus::Success && counts.stored == 0)
        ConsoleMessage() << " >> Bye...";
    else if (status == ExitStatus::Success)
        TransferReport::print(qMax<qint64>(1, elapsedMilliseconds), counts.bytesSent);
    else
        ConsoleMessage() << " >> Exit with error!";
}
