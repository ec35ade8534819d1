#include "uploadarguments.h"

#include "consolemessage.h"
#include "uploadsettings.h"
#include "utf8text.h"

#include <QUrl>

#include <algorithm>

bool UploadArguments::parse(int argc, const char *const *argv)
{
    QByteArray environmentFailure;
    const bool environmentUsable = settings.readEnvironment(UploadSettings::Program::Uploader, &environmentFailure);
    if (argc > 3)
        file_path = argv[3];
    if (argc < 9) {
        ConsoleMessage(&failure) << " >> Usage: uploader url api_token file_path start_offset end_offset proxy_host proxy_port use_proxy";
        return false;
    }
    url = argv[1];
    api_token = argv[2];
    // The process list shows arguments to every local user; the environment it does not.
    if (api_token.isEmpty() && !settings.apiToken.isNull())
        api_token = settings.apiToken;
    settings.apiToken = api_token;
    proxy_host = argv[6];
    proxy_port = argv[7];
    use_proxy = argv[8];

    // The token is a secret: never echo it.
    if (!UploadSettings::isValidToken(api_token)) {
        ConsoleMessage(&failure) << " >> Invalid api_token.";
        return false;
    }
    if (!UploadSettings::parseDecimal(argv[4], &start_offset)) {
        ConsoleMessage(&failure) << " >> Invalid start_offset:" << QString::fromLocal8Bit(argv[4]);
        return false;
    }
    if (!UploadSettings::parseDecimal(argv[5], &end_offset)) {
        ConsoleMessage(&failure) << " >> Invalid end_offset:" << QString::fromLocal8Bit(argv[5]);
        return false;
    }
    if (use_proxy == "true" && !UploadSettings::isValidProxyHost(proxy_host)) {
        ConsoleMessage(&failure) << " >> Invalid proxy_host:" << QString::fromLocal8Bit(withoutPassword(argv[6]));
        return false;
    }
    if (use_proxy == "true" && !UploadSettings::isValidPort(proxy_port)) {
        ConsoleMessage(&failure) << " >> Invalid proxy_port:" << QString::fromLocal8Bit(argv[7]);
        return false;
    }
    if (!isValidUrl(url)) {
        ConsoleMessage(&failure) << " >> Invalid url:" << QString::fromLocal8Bit(withoutPassword(argv[1]));
        return false;
    }
    if (!environmentUsable) {
        failure = environmentFailure;
        ConsoleMessage::writeLine(failure);
        return false;
    }
    if (use_proxy == "true") {
        settings.proxyHost = UploadSettings::proxyHostName(proxy_host);
        settings.proxyPort = quint16(proxy_port.toUInt());
    }
    return true;
}

namespace {

// Where the authority of "scheme://authority/..." starts and ends; false without one.
bool findAuthority(const QByteArray &url, int *from, int *to)
{
    const int scheme = url.indexOf("://");
    if (scheme < 0)
        return false;
    *from = scheme + 3;
    *to = url.size();
    for (const char stop : { '/', '?', '#' }) {
        const int at = url.indexOf(stop, *from);
        if (at >= 0)
            *to = qMin(*to, at);
    }
    return true;
}

// DNS: at most 253 characters, labels of at most 63.
bool isValidHostName(const QString &host)
{
    if (host.contains(QLatin1Char(':')))
        return true;
    if (host.size() > 253)
        return false;
    const QStringList labels = host.split(QLatin1Char('.'));
    return std::all_of(labels.cbegin(), labels.cend(), [](const QString &label) { return label.size() <= 63; });
}

} // namespace

// Qt's tolerant parsing would post a mistyped address somewhere else: it drops
// a port it cannot read or an empty one, and replaces bytes that are not UTF-8.
bool UploadArguments::isValidUrl(const QByteArray &text)
{
    if (!Utf8Text::isValid(text))
        return false;
    int from = 0;
    int to = 0;
    if (findAuthority(text, &from, &to) && text.mid(from, to - from).endsWith(':'))
        return false;
    const QUrl url(QString::fromUtf8(text), QUrl::StrictMode);
    const QString scheme = url.scheme();
    return url.isValid() && (scheme == QLatin1String("http") || scheme == QLatin1String("https")) && !url.host().isEmpty()
           && isValidHostName(url.host(QUrl::FullyEncoded)) && (url.port() == -1 || (url.port() >= 1 && url.port() <= 65535));
}

QByteArray UploadArguments::withoutPassword(const QByteArray &url)
{
    int from = 0;
    int to = 0;
    if (findAuthority(url, &from, &to)) {
        const int at = url.lastIndexOf('@', to - 1);
        const int colon = url.indexOf(':', from);
        if (at >= from && colon >= 0 && colon < at)
            return url.left(colon + 1) + "***" + url.mid(at);
    }
    if (isValidUrl(url))
        return url;
    // A mistyped address has no authority to look in, yet a script's log
    // must not show its password ("http:/user:pw@h/", "user:pw@h:1/",
    // "http//user:pw@h/"): from the start, or a "//" before the last '@',
    // a colon before that '@' starts a password.
    const int at = url.lastIndexOf('@');
    const int slashes = url.indexOf("//");
    const int start = slashes >= 0 && slashes < at ? slashes + 2 : 0;
    int colon = url.indexOf(':', start);
    if (colon < 0 || colon > at)
        return url;
    // "http:user:pw@h": the first colon ends the scheme.
    const QByteArray scheme = url.left(colon).toLower();
    const int next = url.indexOf(':', colon + 1);
    if (start == 0 && (scheme == "http" || scheme == "https") && next >= 0 && next < at)
        colon = next;
    return url.left(colon + 1) + "***" + url.mid(at);
}
