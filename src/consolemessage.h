#ifndef CONSOLEMESSAGE_H
#define CONSOLEMESSAGE_H

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

// One console line in the layout that calling scripts parse: one space after
// every item, texts and byte arrays between double quotes with nothing
// escaped, the line handed to Qt's debug output when the statement ends.
// Qt 5's QDebug escapes inside quotes and drops the final space, so the line
// is assembled here and written verbatim.
class ConsoleMessage
{
public:
    ConsoleMessage() = default;
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

private:
    static QString quoted(const QByteArray &bytes);

    QString line;
};

#endif // CONSOLEMESSAGE_H
