#ifndef CONSOLEMESSAGE_H
#define CONSOLEMESSAGE_H

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

// One console line in the layout that calling scripts parse: one space after
// every item, texts and byte arrays between double quotes with nothing
// escaped, the line written to standard error when the statement ends. Every
// line is one write, and lines of two threads never mix.
class ConsoleMessage
{
public:
    ConsoleMessage() = default;
    // Also keeps the line in *copy, unless it already holds one.
    explicit ConsoleMessage(QByteArray *copy);
    ~ConsoleMessage();

    ConsoleMessage(const ConsoleMessage &) = delete;
    ConsoleMessage &operator=(const ConsoleMessage &) = delete;

    ConsoleMessage &operator<<(const char *literal);
    ConsoleMessage &operator<<(const QString &text);
    ConsoleMessage &operator<<(const QByteArray &bytes);
    ConsoleMessage &operator<<(int number);
    ConsoleMessage &operator<<(qint64 number);
    ConsoleMessage &operator<<(double number);
    ConsoleMessage &operator<<(const QList<QPair<QByteArray, QByteArray>> &pairs);

    // A line already laid out, without its line feed.
    static void writeLine(const QByteArray &line);
    // The line of one byte array, as << would write it, converted and written
    // a piece at a time: a reply body is never copied whole.
    static void writeQuotedLine(const QByteArray &bytes);
    // A status line drawn over the previous one on a terminal; empty clears it.
    static void writeStatus(const QByteArray &text);
    // For a thread that must end the process while another may be blocked
    // writing: waits at most urgentWaitMilliseconds for the console, then
    // writes the lines, already laid out, if the console takes them.
    // Allocates nothing.
    static void writeUrgently(const QByteArray &lines);
    static constexpr int urgentWaitMilliseconds = 200;
    // Qt's own warnings and debug lines would change the console that
    // scripts parse, and one named the proxy user: they are dropped.
    static void dropLibraryMessages();

private:
    void appendQuoted(const QByteArray &bytes);

    // UTF-8.
    QByteArray line;
    QByteArray *copy = nullptr;
};

#endif // CONSOLEMESSAGE_H
