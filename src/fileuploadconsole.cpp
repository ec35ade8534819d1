#include "fileuploadconsole.h"

#include "consolemessage.h"
#include "filelist.h"
#include "transferreport.h"
#include "uploadresult.h"

#include <unistd.h>

namespace {

QByteArray seconds(qint64 milliseconds)
{
    return QByteArray::number(milliseconds / 1000.0, 'f', 3);
}

QByteArray chunkLabel(const UploadResult &chunk)
{
    if (!chunk.file.isEmpty())
        return " >> File \"" + FileList::shown(chunk.file) + "\", chunk " + QByteArray::number(chunk.index) + " [" + QByteArray::number(chunk.start)
               + ", " + QByteArray::number(chunk.end) + "): ";
    return " >> Chunk " + QByteArray::number(chunk.index) + " [" + QByteArray::number(chunk.start) + ", " + QByteArray::number(chunk.end)
           + "): ";
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

void FileUploadConsole::status(const Counts &counts, qint64 fileSize, qint64 underWay, qint64 elapsedMilliseconds, int inFlight) const
{
    if (fileSize < 0) {
        const double streamRate = (counts.bytesSent + underWay) / elapsedSeconds(elapsedMilliseconds);
        ConsoleMessage::writeStatus(" >> " + QByteArray::number(counts.bytesSent + underWay) + " Byte, " + QByteArray::number(streamRate / 1e6, 'f', 1)
                                    + " MB/s, " + QByteArray::number(inFlight) + " in flight");
        return;
    }
    const qint64 done = fileSize - counts.bytesToSend + counts.bytesSent + underWay;
    const double rate = (counts.bytesSent + underWay) / elapsedSeconds(elapsedMilliseconds);
    const QByteArray left = rate > 0 ? QByteArray::number(qint64((fileSize - done) / rate)) + " s left" : QByteArray("--");
    ConsoleMessage::writeStatus(" >> " + QByteArray::number(done) + " of " + QByteArray::number(fileSize) + " Byte, "
                                + QByteArray::number(rate / 1e6, 'f', 1) + " MB/s, " + left + ", " + QByteArray::number(inFlight) + " in flight");
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
