#ifndef RECEIVERPROCESS_H
#define RECEIVERPROCESS_H

#include "ownedprocess.h"

#include <QByteArray>
#include <QStringList>
#include <QTemporaryDir>

// The bundled receiver, started on a free loopback port and stopped by its process id.
class ReceiverProcess
{
public:
    explicit ReceiverProcess(const QStringList &options = QStringList());

    bool isListening() const { return listeningPort != 0; }
    quint16 port() const { return listeningPort; }
    QString url(const QString &scheme = QStringLiteral("http")) const;

    int storedCount() const;
    QByteArray storedBody(int index) const;
    QList<QByteArray> storedHeaderLines(int index) const;
    // The connection a request came on, counted from 1 in the order they were accepted.
    int storedConnection(int index) const;
    // Requests it takes and never answers, as --hold-after says.
    int heldCount() const;

private:
    QTemporaryDir store;
    OwnedProcess process;
    quint16 listeningPort = 0;
};

#endif // RECEIVERPROCESS_H
