#ifndef CONSOLEMESSAGE_H
#define CONSOLEMESSAGE_H

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

// One console line in the layout that calling scripts parse: one space after
// every item, texts and byte arrays between double quotes with nothing
// escaped, the line written to standard error when the statement ends.
class ConsoleMessage
{
public:
    ConsoleMessage() = default;
    // Also keeps the line in *copy, unless it already holds one.
    explicit ConsoleMessage(QString *copy);
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
    void appendQuoted(const QByteArray &bytes);

    // UTF-8.
    QByteArray line;
    QString *copy = nullptr;
};

#endif // CONSOLEMESSAGE_H
