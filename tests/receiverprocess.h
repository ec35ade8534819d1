#ifndef RECEIVERPROCESS_H
#define RECEIVERPROCESS_H

#include <QByteArray>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

// The bundled receiver, started on a free loopback port and stopped by its process id.
class ReceiverProcess
{
public:
    explicit ReceiverProcess(const QStringList &options = QStringList());
    ~ReceiverProcess();

    bool isListening() const { return listeningPort != 0; }
    quint16 port() const { return listeningPort; }
    QString url(const QString &scheme = QStringLiteral("http")) const;

    int storedCount() const;
    QByteArray storedBody(int index) const;
    QList<QByteArray> storedHeaderLines(int index) const;
    // The connection a request came on, counted from 1 in the order they were accepted.
    int storedConnection(int index) const;

private:
    QTemporaryDir store;
    QProcess process;
    quint16 listeningPort = 0;
};

#endif // RECEIVERPROCESS_H
