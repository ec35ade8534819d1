#include "consolemessage.h"

#include "utf8text.h"

#include <QTextStream>

#include <cerrno>
#include <chrono>
#include <mutex>

#include <poll.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {

std::timed_mutex consoleLock;

// Written straight to standard error, not through Qt's message output or
// stdio: its logging rules, message pattern and journald routing would hide
// or reshape the lines, and stdio's lock would hold a thread that must end
// the run behind one blocked on a full pipe.
bool writeAll(struct iovec *pieces, int count)
{
    while (count > 0) {
        const ssize_t written = ::writev(STDERR_FILENO, pieces, count);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        size_t left = size_t(written);
        while (count > 0 && left >= pieces->iov_len) {
            left -= pieces->iov_len;
            ++pieces;
            --count;
        }
        if (count > 0) {
            pieces->iov_base = static_cast<char *>(pieces->iov_base) + left;
            pieces->iov_len -= left;
        }
    }
    return true;
}

bool writeAll(const char *data, qint64 size)
{
    struct iovec piece = { const_cast<char *>(data), size_t(size) };
    return writeAll(&piece, 1);
}

// The line ends at a zero byte, as a C string does.
void writeTerminated(const QByteArray &line)
{
    const int zero = line.indexOf('\0');
    struct iovec pieces[2] = { { const_cast<char *>(line.constData()), size_t(zero < 0 ? line.size() : zero) },
                               { const_cast<char *>("\n"), 1 } };
    std::lock_guard<std::timed_mutex> lock(consoleLock);
    writeAll(pieces, 2);
}

} // namespace

ConsoleMessage::ConsoleMessage(QByteArray *copy)
    : copy(copy)
{
}

// UTF-8 whatever the locale.
ConsoleMessage::~ConsoleMessage()
{
    if (copy && copy->isEmpty())
        *copy = line;
    writeTerminated(line);
}

void ConsoleMessage::writeLine(const QByteArray &line)
{
    writeTerminated(line);
}

// A reply body is converted and written a piece at a time, never copied whole.
void ConsoleMessage::writeQuotedLine(const QByteArray &bytes)
{
    const int zero = bytes.indexOf('\0');
    std::lock_guard<std::timed_mutex> lock(consoleLock);
    writeAll("\"", 1);
    Utf8Text::convert(bytes.constData(), zero < 0 ? bytes.size() : zero, [](const char *data, qint64 size) { return writeAll(data, size); });
    // The line ends at a zero byte: no closing quote then.
    if (zero < 0)
        writeAll("\" \n", 3);
    else
        writeAll("\n", 1);
}

void ConsoleMessage::writeStatus(const QByteArray &text)
{
    struct iovec pieces[3] = { { const_cast<char *>("\r"), 1 }, { const_cast<char *>(text.constData()), size_t(text.size()) },
                               { const_cast<char *>("\x1b[K"), 3 } };
    std::lock_guard<std::timed_mutex> lock(consoleLock);
    writeAll(pieces, 3);
}

// One short wait for the lock and the console together: a line being written
// takes microseconds, and a console blocked longer only delays the run's end.
void ConsoleMessage::writeUrgently(const QByteArray &lines)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(urgentWaitMilliseconds);
    std::unique_lock<std::timed_mutex> lock(consoleLock, std::defer_lock);
    (void)lock.try_lock_until(until);
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now()).count();
    struct pollfd console = { STDERR_FILENO, POLLOUT, 0 };
    if (::poll(&console, 1, int(qMax<qint64>(left, 0))) == 1 && (console.revents & POLLOUT))
        writeAll(lines.constData(), lines.size());
}

void ConsoleMessage::dropLibraryMessages()
{
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
}

ConsoleMessage &ConsoleMessage::operator<<(const char *literal)
{
    line += literal;
    line += ' ';
    return *this;
}

ConsoleMessage &ConsoleMessage::operator<<(const QString &text)
{
    line += '"' + text.toUtf8() + "\" ";
    return *this;
}

// Reply bytes are UTF-8 on the wire and the console is UTF-8: decoding them
// as Latin-1 would double every non-ASCII character.
ConsoleMessage &ConsoleMessage::operator<<(const QByteArray &bytes)
{
    appendQuoted(bytes);
    line += ' ';
    return *this;
}

ConsoleMessage &ConsoleMessage::operator<<(int number)
{
    return *this << qint64(number);
}

ConsoleMessage &ConsoleMessage::operator<<(qint64 number)
{
    line += QByteArray::number(number) + ' ';
    return *this;
}

// The text stream's defaults: smart notation, precision 6, "inf" and "nan".
ConsoleMessage &ConsoleMessage::operator<<(double number)
{
    QString text;
    QTextStream(&text) << number << ' ';
    line += text.toUtf8();
    return *this;
}

// The list and pair layout of Qt 4's debug stream: "(QPair("a","b") ,  QPair(...) ) ".
ConsoleMessage &ConsoleMessage::operator<<(const QList<QPair<QByteArray, QByteArray>> &pairs)
{
    line += '(';
    for (int i = 0; i < pairs.size(); ++i) {
        if (i > 0)
            line += ",  ";
        line += "QPair(";
        appendQuoted(pairs.at(i).first);
        line += ',';
        appendQuoted(pairs.at(i).second);
        line += ") ";
    }
    line += ')';
    if (!pairs.isEmpty())
        line += ' ';
    line += ' ';
    return *this;
}

// The whole array between quotes, a zero byte included: the line ends there
// when written. Bytes that are not UTF-8 become replacement characters.
void ConsoleMessage::appendQuoted(const QByteArray &bytes)
{
    line += '"';
    line += Utf8Text::isValid(bytes) ? bytes : QString::fromUtf8(bytes.constData(), bytes.size()).toUtf8();
    line += '"';
}
