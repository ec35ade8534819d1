#ifndef PROXYPROBE_H
#define PROXYPROBE_H

#include "proxyexchange.h"

#include <QByteArray>
#include <QNetworkProxy>
#include <QObject>

// Asks an HTTP proxy, by a CONNECT of its own, whether it refuses the
// credentials, or wants some and has none. Qt reports such a refusal as a
// closed connection or an unknown error, as it does a proxy whose upstream is
// down; the first must not be tried again, the second may. The credentials go
// out as Basic only to a proxy that asks for nothing else.
class ProxyProbe : public QObject
{
    Q_OBJECT

public:
    ProxyProbe(const QNetworkProxy &proxy, const QByteArray &authority, const QByteArray &user,
               const QByteArray &password, QObject *parent);
    // How long the proxy has to answer; 10 seconds unless said before start().
    void setDeadline(int milliseconds);
    void start();

signals:
    // Once; refused only when the proxy asked for credentials that are
    // missing, or answered those given with 401 or 407.
    void finished(bool refused);

private:
    void sendConnect();
    void readAnswer(int status, const QList<QByteArray> &lines);
    void finish(bool refused);

    QByteArray authority;
    QByteArray credentials;
    ProxyExchange exchange;
    bool answering = false;
};

#endif
