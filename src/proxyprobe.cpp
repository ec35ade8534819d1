#include "proxyprobe.h"

#include <QList>

namespace {
// A proxy's answer to CONNECT is a status line and headers; more is not an answer.
const int maximumAnswerSize = 16 * 1024;
}

ProxyProbe::ProxyProbe(const QNetworkProxy &proxy, const QByteArray &authority, const QByteArray &user,
                       const QByteArray &password, QObject *parent)
    : QObject(parent), proxy(proxy), authority(authority)
{
    if (!user.isEmpty())
        credentials = (user + ':' + password).toBase64();
    deadline.setSingleShot(true);
    connect(&deadline, &QTimer::timeout, this, [this] { finish(false); });
}

void ProxyProbe::setDeadline(int milliseconds)
{
    deadlineMilliseconds = milliseconds;
}

void ProxyProbe::start()
{
    deadline.start(deadlineMilliseconds);
    sendConnect();
}

// First without credentials, to see which schemes the proxy asks for.
void ProxyProbe::sendConnect()
{
    if (socket) {
        socket->disconnect(this);
        socket->abort();
        socket->deleteLater();
    }
    answer.clear();
    socket = new QTcpSocket(this);
    socket->setProxy(QNetworkProxy::NoProxy);
    connect(socket, &QTcpSocket::connected, this, [this] {
        QByteArray request = "CONNECT " + authority + " HTTP/1.1\r\nHost: " + authority + "\r\n";
        if (answering)
            request += "Proxy-Authorization: Basic " + credentials + "\r\n";
        socket->write(request + "\r\n");
    });
    connect(socket, &QTcpSocket::readyRead, this, &ProxyProbe::readAnswer);
    connect(socket, &QTcpSocket::errorOccurred, this, [this] { finish(false); });
    socket->connectToHost(proxy.hostName(), proxy.port());
}

void ProxyProbe::readAnswer()
{
    answer += socket->read(maximumAnswerSize - answer.size());
    const int end = answer.indexOf("\r\n\r\n");
    if (end < 0) {
        if (answer.size() >= maximumAnswerSize)
            finish(false);
        return;
    }
    const QList<QByteArray> lines = answer.left(end).split('\n');
    const QList<QByteArray> statusLine = lines.first().simplified().split(' ');
    const int status = statusLine.size() > 1 ? statusLine.at(1).toInt() : 0;
    if (answering) {
        finish(status == 401 || status == 407);
        return;
    }
    if (status != 407 || credentials.isEmpty()) {
        finish(status == 407);
        return;
    }
    bool basicOffered = false;
    for (const QByteArray &line : lines) {
        const QByteArray field = line.trimmed().toLower();
        if (!field.startsWith("proxy-authenticate:"))
            continue;
        if (!field.mid(19).trimmed().startsWith("basic")) {
            finish(false);
            return;
        }
        basicOffered = true;
    }
    if (!basicOffered) {
        finish(false);
        return;
    }
    answering = true;
    sendConnect();
}

// Once, from whichever comes first: the answer, an error or the deadline,
// which is no longer active by the time it fires.
void ProxyProbe::finish(bool refused)
{
    if (ended)
        return;
    ended = true;
    deadline.stop();
    socket->disconnect(this);
    socket->abort();
    emit finished(refused);
}
