#include "uploadarguments.h"

#include "consolemessage.h"

#include <QUrl>

#include <limits>

bool UploadArguments::parse(int argc, const char *const *argv)
{
    if (argc < 9) {
        ConsoleMessage() << " >> Usage: uploader url api_token file_path start_offset end_offset proxy_host proxy_port use_proxy";
        return false;
    }
    url = argv[1];
    api_token = argv[2];
    // The process list shows arguments to every local user; the environment it does not.
    if (api_token.isEmpty() && qEnvironmentVariableIsSet("UPLOADER_API_TOKEN"))
        api_token = qgetenv("UPLOADER_API_TOKEN");
    file_path = argv[3];
    proxy_host = argv[6];
    proxy_port = argv[7];
    use_proxy = argv[8];

    // The token is a secret: never echo it.
    if (!isValidToken(api_token)) {
        ConsoleMessage() << " >> Invalid api_token.";
        return false;
    }
    if (!parseDecimal(argv[4], &start_offset)) {
        ConsoleMessage() << " >> Invalid start_offset:" << QString::fromLocal8Bit(argv[4]);
        return false;
    }
    if (!parseDecimal(argv[5], &end_offset)) {
        ConsoleMessage() << " >> Invalid end_offset:" << QString::fromLocal8Bit(argv[5]);
        return false;
    }
    if (use_proxy == "true" && proxy_host.isEmpty()) {
        ConsoleMessage() << " >> Invalid proxy_host:" << QString::fromLocal8Bit(argv[6]);
        return false;
    }
    if (use_proxy == "true" && !isValidPort(proxy_port)) {
        ConsoleMessage() << " >> Invalid proxy_port:" << QString::fromLocal8Bit(argv[7]);
        return false;
    }
    if (!isValidUrl(url)) {
        ConsoleMessage() << " >> Invalid url:" << QString::fromLocal8Bit(argv[1]);
        return false;
    }
    const QByteArray timeout = qgetenv("UPLOADER_IDLE_TIMEOUT");
    if (!timeout.isEmpty() && !parseSetting(timeout, std::numeric_limits<int>::max(), &idle_timeout)) {
        ConsoleMessage() << " >> Invalid UPLOADER_IDLE_TIMEOUT:" << QString::fromLocal8Bit(timeout);
        return false;
    }
    const QByteArray retryCount = qgetenv("UPLOADER_RETRIES");
    if (!retryCount.isEmpty() && !parseSetting(retryCount, 100, &retries)) {
        ConsoleMessage() << " >> Invalid UPLOADER_RETRIES:" << QString::fromLocal8Bit(retryCount);
        return false;
    }
    result_path = qgetenv("UPLOADER_RESULT");
    return true;
}

// Strict decimal: "12ab" must not quietly become 12 and send bytes nobody asked for.
bool UploadArguments::parseDecimal(const QByteArray &text, qint64 *value)
{
    bool ok = false;
    const qint64 parsed = text.toLongLong(&ok, 10);
    if (ok)
        *value = parsed;
    return ok;
}

bool UploadArguments::parseSetting(const QByteArray &text, int maximum, int *value)
{
    qint64 parsed = 0;
    if (!parseDecimal(text, &parsed) || parsed < 0 || parsed > maximum)
        return false;
    *value = int(parsed);
    return true;
}

// Qt's tolerant parsing would post a mistyped address somewhere else: it drops
// a port it cannot read and replaces bytes that are not UTF-8.
bool UploadArguments::isValidUrl(const QByteArray &text)
{
    if (!isValidUtf8(text))
        return false;
    const QUrl url(QString::fromUtf8(text), QUrl::StrictMode);
    const QString scheme = url.scheme();
    return url.isValid() && (scheme == QLatin1String("http") || scheme == QLatin1String("https")) && !url.host().isEmpty()
           && (url.port() == -1 || (url.port() >= 1 && url.port() <= 65535));
}

// Without decoding: a reply body may be 64 MiB. Overlong forms, surrogates
// and code points past U+10FFFF are not UTF-8.
bool UploadArguments::isValidUtf8(const QByteArray &bytes)
{
    const uchar *byte = reinterpret_cast<const uchar *>(bytes.constData());
    const uchar *const end = byte + bytes.size();
    while (byte < end) {
        const uchar lead = *byte++;
        if (lead < 0x80)
            continue;
        int following = 0;
        uchar lowest = 0x80;
        uchar highest = 0xbf;
        if (lead >= 0xc2 && lead <= 0xdf) {
            following = 1;
        } else if (lead >= 0xe0 && lead <= 0xef) {
            following = 2;
            lowest = lead == 0xe0 ? 0xa0 : 0x80;
            highest = lead == 0xed ? 0x9f : 0xbf;
        } else if (lead >= 0xf0 && lead <= 0xf4) {
            following = 3;
            lowest = lead == 0xf0 ? 0x90 : 0x80;
            highest = lead == 0xf4 ? 0x8f : 0xbf;
        } else {
            return false;
        }
        if (end - byte < following || *byte < lowest || *byte > highest)
            return false;
        for (++byte, --following; following > 0; --following, ++byte)
            if ((*byte & 0xc0) != 0x80)
                return false;
    }
    return true;
}

bool UploadArguments::isValidPort(const QByteArray &text)
{
    qint64 port = 0;
    return parseDecimal(text, &port) && port >= 1 && port <= 65535;
}

// A control character would let the token end its header and add others.
bool UploadArguments::isValidToken(const QByteArray &token)
{
    for (const char c : token) {
        const uchar byte = uchar(c);
        if ((byte < 0x20 && byte != '\t') || byte == 0x7f)
            return false;
    }
    return true;
}
