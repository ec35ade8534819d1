#include "uploadarguments.h"

#include "consolemessage.h"

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
    if (use_proxy == "true" && !isValidPort(proxy_port)) {
        ConsoleMessage() << " >> Invalid proxy_port:" << QString::fromLocal8Bit(argv[7]);
        return false;
    }
    const QByteArray timeout = qgetenv("UPLOADER_IDLE_TIMEOUT");
    if (!timeout.isEmpty() && !parseIdleTimeout(timeout, &idle_timeout)) {
        ConsoleMessage() << " >> Invalid UPLOADER_IDLE_TIMEOUT:" << QString::fromLocal8Bit(timeout);
        return false;
    }
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

// Whole seconds, as many as an int holds.
bool UploadArguments::parseIdleTimeout(const QByteArray &text, int *seconds)
{
    qint64 value = 0;
    if (!parseDecimal(text, &value) || value < 0 || value > std::numeric_limits<int>::max())
        return false;
    *seconds = int(value);
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
