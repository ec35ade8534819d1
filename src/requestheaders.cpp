#include "requestheaders.h"

#include "uploadarguments.h"

#include <QDateTime>
#include <QUrl>

QList<RequestHeaders::Header> RequestHeaders::build(const QUrl &url, const QByteArray &apiToken, qint64 bodySize)
{
    QList<Header> headers{
        { "X_ZORV_API_TOKEN", apiToken },
        { "X_ZORV_LOCAL_TS_OFFSET", localTimeZoneOffset().toLatin1() },
        { "USER-AGENT", "tovanel/5.0.0" },
        // The reply comes as the server sent it, inflated within its cap by
        // the program; left to a library, a small reply could inflate to gigabytes.
        { "Accept-Encoding", "gzip,deflate" },
        { "Content-Type", "application/octet-stream" },
        { "Content-Length", QByteArray::number(bodySize) },
        { "Connection", "Keep-Alive" },
        { "Keep-Alive", "timeout=20000" },
    };
    const QByteArray user = QByteArray::fromPercentEncoding(url.userName(QUrl::FullyEncoded).toLatin1());
    const QByteArray password = QByteArray::fromPercentEncoding(url.password(QUrl::FullyEncoded).toLatin1());
    if (!user.isEmpty() || !password.isEmpty())
        headers.append({ "Authorization", "Basic " + (user + ':' + password).toBase64() });
    return headers;
}

QByteArray RequestHeaders::masked(const QByteArray &text, const QByteArray &apiToken)
{
    const int colon = text.indexOf(':');
    const QByteArray name = text.left(colon).trimmed().toLower();
    QByteArray shown;
    if (colon > 0 && (name == "x_zorv_api_token" || name == "authorization" || name == "proxy-authorization")) {
        shown = text.left(colon) + ": ***";
    } else {
        // Addresses only: an e-mail address in a header is no password.
        QList<QByteArray> words = text.split(' ');
        for (QByteArray &word : words)
            if (word.contains("://"))
                word = UploadArguments::withoutPassword(word);
        shown = words.join(' ');
    }
    if (!apiToken.isEmpty())
        shown.replace(apiToken, "***");
    return shown;
}

QString RequestHeaders::localTimeZoneOffset()
{
    // Truncates toward zero: UTC-3:30 is -3, never -4.
    const int hours = QDateTime::currentDateTime().offsetFromUtc() / 3600;
    return hours > 0 ? QStringLiteral("+%1").arg(hours) : QString::number(hours);
}

QByteArray RequestHeaders::proxyTarget(const QUrl &url)
{
    // The ACE form of a name; an IPv6 address as it is (QUrl::toAce refuses one).
    QByteArray host = url.host(QUrl::FullyEncoded).toLatin1();
    if (host.contains(':'))
        host = '[' + host + ']';
    const int port = url.port(url.scheme() == QLatin1String("https") ? 443 : 80);
    return host + ':' + QByteArray::number(port);
}
