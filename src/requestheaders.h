#ifndef REQUESTHEADERS_H
#define REQUESTHEADERS_H

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

class QUrl;

// What every attempt of a chunk sends, whichever transport sends it.
class RequestHeaders
{
public:
    using Header = QPair<QByteArray, QByteArray>;

    // The eight headers in their order, then Authorization: Basic when the
    // address carries credentials. Credentials go with the first request, as
    // curl sends them: a 401 is final.
    static QList<Header> build(const QUrl &url, const QByteArray &apiToken, qint64 bodySize);
    // A header line or an address as a console may show it: the token, the
    // credentials' headers and an address's password as "***", and the token
    // wherever else it stands (a query may carry it).
    static QByteArray masked(const QByteArray &text, const QByteArray &apiToken);
    // Whole hours east of UTC, as the server takes them: "+2", "0", "-3".
    static QString localTimeZoneOffset();
    // Where the proxy is asked to open a tunnel to: host:port, an IPv6
    // address in brackets, a name in ACE, the scheme's port by default.
    static QByteArray proxyTarget(const QUrl &url);
};

#endif // REQUESTHEADERS_H
