#include "consolemessage.h"

#include <QTextStream>

#include <cstdio>

// Written straight to standard error, not through Qt's message output: its
// logging rules, message pattern and journald routing would hide or reshape
// the lines. The line ends at a zero byte, as a C string does, and is UTF-8
// whatever the locale.
ConsoleMessage::ConsoleMessage(QString *copy)
    : copy(copy)
{
}

ConsoleMessage::~ConsoleMessage()
{
    if (copy && copy->isEmpty())
        *copy = line;
    QByteArray bytes = line.toUtf8();
    const int zero = bytes.indexOf('\0');
    if (zero >= 0)
        bytes.truncate(zero);
    bytes += '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    std::fflush(stderr);
}

ConsoleMessage &ConsoleMessage::operator<<(const char *literal)
{
    line += QString::fromUtf8(literal) + QLatin1Char(' ');
    return *this;
}

ConsoleMessage &ConsoleMessage::operator<<(const QString &text)
{
    line += QLatin1Char('"') + text + QLatin1String("\" ");
    return *this;
}

// Reply bytes are UTF-8 on the wire and the console is UTF-8: decoding them
// as Latin-1 would double every non-ASCII character.
ConsoleMessage &ConsoleMessage::operator<<(const QByteArray &bytes)
{
    line += quoted(bytes) + QLatin1Char(' ');
    return *this;
}

ConsoleMessage &ConsoleMessage::operator<<(int number)
{
    return *this << qint64(number);
}

ConsoleMessage &ConsoleMessage::operator<<(qint64 number)
{
    line += QString::number(number) + QLatin1Char(' ');
    return *this;
}

// The text stream's defaults: smart notation, precision 6, "inf" and "nan".
ConsoleMessage &ConsoleMessage::operator<<(double number)
{
    QTextStream(&line) << number << ' ';
    return *this;
}

// The list and pair layout of Qt 4's debug stream: "(QPair("a","b") ,  QPair(...) ) ".
ConsoleMessage &ConsoleMessage::operator<<(const QList<QPair<QByteArray, QByteArray>> &pairs)
{
    line += QLatin1Char('(');
    for (int i = 0; i < pairs.size(); ++i) {
        if (i > 0)
            line += QLatin1String(",  ");
        line += QLatin1String("QPair(") + quoted(pairs.at(i).first) + QLatin1Char(',')
                + quoted(pairs.at(i).second) + QLatin1String(") ");
    }
    line += QLatin1Char(')');
    if (!pairs.isEmpty())
        line += QLatin1Char(' ');
    line += QLatin1Char(' ');
    return *this;
}

// The whole array, a zero byte included: the line ends there when written.
QString ConsoleMessage::quoted(const QByteArray &bytes)
{
    return QLatin1Char('"') + QString::fromUtf8(bytes.constData(), bytes.size()) + QLatin1Char('"');
}
