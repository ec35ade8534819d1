#include "proxyexchange.h"

#include <QTcpSocket>

namespace {
// A proxy's own answer is a status line and headers; more is not an answer.
const int maximumAnswerSize = 16 * 1024;
}

ProxyExchange::ProxyExchange(const QNetworkProxy &proxy, QObject *parent)
    : QObject(parent), proxy(proxy)
{
    deadline.setSingleShot(true);
    connect(&deadline, &QTimer::timeout, this, &ProxyExchange::failed);
}

void ProxyExchange::send(const QByteArray &request)
{
    if (ended)
        return;
    if (!deadline.isActive())
        deadline.start(deadlineMilliseconds);
    close();
    answer.clear();
    socket = new QTcpSocket(this);
    socket->setProxy(QNetworkProxy::NoProxy);
    connect(socket, &QTcpSocket::connected, this, [this, request] { socket->write(request); });
    connect(socket, &QTcpSocket::readyRead, this, &ProxyExchange::readAnswer);
    connect(socket, &QTcpSocket::errorOccurred, this, &ProxyExchange::failed);
    socket->connectToHost(proxy.hostName(), proxy.port());
}

// Once, from whichever comes first: the answer, an error or the deadline,
// which is no longer active by the time it fires.
bool ProxyExchange::end()
{
    if (ended)
        return false;
    ended = true;
    deadline.stop();
    close();
    return true;
}

void ProxyExchange::close()
{
    if (!socket)
        return;
    socket->disconnect(this);
    socket->abort();
    socket->deleteLater();
    socket = nullptr;
}

void ProxyExchange::readAnswer()
{
    answer += socket->read(maximumAnswerSize - answer.size());
    const int end = answer.indexOf("\r\n\r\n");
    if (end < 0) {
        if (answer.size() >= maximumAnswerSize)
            emit failed();
        return;
    }
    const QList<QByteArray> lines = answer.left(end).split('\n');
    const QList<QByteArray> statusLine = lines.first().simplified().split(' ');
    emit answered(statusLine.size() > 1 ? statusLine.at(1).toInt() : 0, lines);
}
