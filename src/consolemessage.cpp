#include "consolemessage.h"

#include <QTextStream>

#include <cstdio>

ConsoleMessage::ConsoleMessage(QString *copy)
    : copy(copy)
{
}

// Written straight to standard error, not through Qt's message output: its
// logging rules, message pattern and journald routing would hide or reshape
// the lines. The line ends at a zero byte, as a C string does, and is UTF-8
// whatever the locale.
ConsoleMessage::~ConsoleMessage()
{
    if (copy && copy->isEmpty())
        *copy = QString::fromUtf8(line);
    const int zero = line.indexOf('\0');
    // Written in two parts: appending the line feed could copy a reply body.
    std::fwrite(line.constData(), 1, size_t(zero < 0 ? line.size() : zero), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
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
// when written. Bytes that are not UTF-8 become replacement characters. A
// decoder starts afresh at an ASCII byte, so converting a piece at a time, cut
// before one, gives the same bytes as converting the whole, without holding a
// reply body three times over as UTF-16 and back.
void ConsoleMessage::appendQuoted(const QByteArray &bytes)
{
    static const int piece = 1 << 20;
    line += '"';
    const char *data = bytes.constData();
    const int size = bytes.size();
    for (int from = 0; from < size;) {
        int to = qMin(size, from + piece);
        while (to < size && uchar(data[to]) >= 0x80)
            ++to;
        line += QString::fromUtf8(data + from, to - from).toUtf8();
        from = to;
    }
    line += '"';
}
