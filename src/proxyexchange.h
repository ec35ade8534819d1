#ifndef PROXYEXCHANGE_H
#define PROXYEXCHANGE_H

#include <QByteArray>
#include <QList>
#include <QNetworkProxy>
#include <QObject>
#include <QTimer>

class QTcpSocket;

// One request of the program's own to an HTTP proxy, each on a connection of
// its own; only the head of the answer is read.
class ProxyExchange : public QObject
{
    Q_OBJECT
public:
    ProxyExchange(const QNetworkProxy &proxy, QObject *parent = nullptr);
    // How long the proxy has for all the exchange's requests; 10 seconds unless said before the first.
    void setDeadline(int milliseconds) { deadlineMilliseconds = milliseconds; }
    // Closes the connection of the request before, if any.
    void send(const QByteArray &request);
    // Closes the connection and ends the exchange; true the first time only.
    bool end();

signals:
    // The status and the head's lines, the status line first.
    void answered(int status, const QList<QByteArray> &lines);
    // No connection, a closed one, a head larger than any answer, or the deadline passed.
    void failed();

private:
    void readAnswer();
    void close();

    QNetworkProxy proxy;
    QTcpSocket *socket = nullptr;
    QByteArray answer;
    QTimer deadline;
    int deadlineMilliseconds = 10 * 1000;
    bool ended = false;
};

#endif // PROXYEXCHANGE_H
