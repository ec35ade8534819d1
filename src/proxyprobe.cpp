#include "proxyprobe.h"

#include <QList>

ProxyProbe::ProxyProbe(const QNetworkProxy &proxy, const QByteArray &authority, const QByteArray &user,
                       const QByteArray &password, QObject *parent)
    : QObject(parent), authority(authority), exchange(proxy)
{
    if (!user.isEmpty())
        credentials = (user + ':' + password).toBase64();
    connect(&exchange, &ProxyExchange::answered, this, &ProxyProbe::readAnswer);
    connect(&exchange, &ProxyExchange::failed, this, [this] { finish(false); });
}

void ProxyProbe::setDeadline(int milliseconds)
{
    exchange.setDeadline(milliseconds);
}

void ProxyProbe::start()
{
    sendConnect();
}

// First without credentials, to see which schemes the proxy asks for.
void ProxyProbe::sendConnect()
{
    QByteArray request = "CONNECT " + authority + " HTTP/1.1\r\nHost: " + authority + "\r\n";
    if (answering)
        request += "Proxy-Authorization: Basic " + credentials + "\r\n";
    exchange.send(request + "\r\n");
}

void ProxyProbe::readAnswer(int status, const QList<QByteArray> &lines)
{
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

void ProxyProbe::finish(bool refused)
{
    if (exchange.end())
        emit finished(refused);
}
