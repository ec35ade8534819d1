#ifndef PROXYDIGEST_H
#define PROXYDIGEST_H

#include "proxyexchange.h"

#include <QByteArray>
#include <QHash>
#include <QNetworkProxy>
#include <QObject>

// Learns, before a body goes to an HTTP proxy over plain http, whether the
// proxy wants Digest, and checks the credentials in it: a proxy such as squid
// answers 407 before it reads a body and then reads no more of it, while Qt
// reads no answer before it has written the whole body. It asks by TRACE with
// Max-Forwards: 0, which the proxy answers itself.
class ProxyDigest : public QObject
{
    Q_OBJECT
public:
    // target: the address as the request line through the proxy gives it.
    ProxyDigest(const QNetworkProxy &proxy, const QByteArray &target, const QByteArray &user, const QByteArray &password,
                QObject *parent);
    // How long the proxy has to answer; 10 seconds unless said before start().
    void setDeadline(int milliseconds) { exchange.setDeadline(milliseconds); }
    void start();
    // The Proxy-Authorization of the next request, a new count each time;
    // empty when the proxy asked for no Digest, or refused it.
    QByteArray authorization(const QByteArray &method, const QByteArray &uri);
    // The address as Qt writes it in a request line through a proxy.
    static QByteArray requestTarget(const QUrl &url);

signals:
    // Once; refused when the proxy answered the Digest credentials with 407.
    void finished(bool refused);

private:
    void send();
    void readAnswer(int status, const QList<QByteArray> &lines);
    bool takeChallenge(const QList<QByteArray> &lines);
    void finish(bool refused);

    QByteArray target;
    QByteArray user;
    QByteArray password;
    QHash<QByteArray, QByteArray> challenge;
    int count = 0;
    ProxyExchange exchange;
};

#endif // PROXYDIGEST_H
