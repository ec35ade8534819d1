#include "uploadsettings.h"

#include "consolemessage.h"

#include <QFile>
#include <QHostAddress>

#include <algorithm>
#include <limits>

namespace {

const int longestTokenFile = 1 << 16;
const int longest = std::numeric_limits<int>::max();

bool refuse(const char *name, const QByteArray &value, QByteArray *failure)
{
    *failure = " >> Invalid " + QByteArray(name) + ": \"" + QString::fromLocal8Bit(value).toUtf8() + "\" ";
    return false;
}

} // namespace

bool UploadSettings::readEnvironment(Program program, QByteArray *failure)
{
    apiToken = qgetenv("UPLOADER_API_TOKEN");
    proxyUser = qgetenv("UPLOADER_PROXY_USER");
    proxyPassword = qgetenv("UPLOADER_PROXY_PASSWORD");
    authorityBundle = qgetenv("UPLOADER_CA_BUNDLE");
    certificateFile = qgetenv("SSL_CERT_FILE");
    certificateFolders = qgetenv("SSL_CERT_DIR");
    clientCertificate = qgetenv("UPLOADER_CLIENT_CERT");
    clientKey = qgetenv("UPLOADER_CLIENT_KEY");
    clientKeyPassword = qgetenv("UPLOADER_CLIENT_KEY_PASSWORD");

    // Read whatever else is wrong: a refused run still writes its result.
    if (program == Program::Uploader)
        resultPath = qgetenv("UPLOADER_RESULT");
    const QByteArray timeout = qgetenv("UPLOADER_IDLE_TIMEOUT");
    if (!timeout.isEmpty() && !parseCount(timeout, 0, longest, &idleTimeout))
        return refuse("UPLOADER_IDLE_TIMEOUT", timeout, failure);
    if (program == Program::UploaderFile)
        return true;
    const QByteArray retryCount = qgetenv("UPLOADER_RETRIES");
    if (!retryCount.isEmpty() && !parseCount(retryCount, 0, 100, &retries))
        return refuse("UPLOADER_RETRIES", retryCount, failure);
    const QByteArray runTime = qgetenv("UPLOADER_MAX_TIME");
    if (!runTime.isEmpty() && !parseCount(runTime, 0, longest, &maxTime))
        return refuse("UPLOADER_MAX_TIME", runTime, failure);
    const QByteArray rate = qgetenv("UPLOADER_LIMIT_RATE");
    if (!rate.isEmpty() && !parseSize(rate, &limitRate))
        return refuse("UPLOADER_LIMIT_RATE", rate, failure);
    return true;
}

bool UploadSettings::readTokenFile(const QString &path, QByteArray *failure)
{
    const QByteArray shown = " >> Invalid --token-file: \"" + path.toUtf8() + '"';
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *failure = " >> Cannot read --token-file: \"" + path.toUtf8() + "\" ";
        return false;
    }
    // One byte more than a token may hold tells a longer file from one that fits.
    apiToken = file.read(longestTokenFile + 1);
    if (apiToken.size() > longestTokenFile) {
        *failure = shown + " holds more than " + QByteArray::number(longestTokenFile) + " bytes ";
        return false;
    }
    while (apiToken.endsWith('\n') || apiToken.endsWith('\r'))
        apiToken.chop(1);
    return true;
}

// Strict decimal: "12ab" must not quietly become 12 and send bytes nobody asked for.
bool UploadSettings::parseDecimal(const QByteArray &text, qint64 *value)
{
    bool ok = false;
    const qint64 parsed = text.toLongLong(&ok, 10);
    if (ok)
        *value = parsed;
    return ok;
}

bool UploadSettings::parseCount(const QByteArray &text, qint64 lowest, qint64 highest, int *value)
{
    qint64 parsed = 0;
    if (!parseDecimal(text, &parsed) || parsed < lowest || parsed > highest)
        return false;
    *value = int(parsed);
    return true;
}

bool UploadSettings::parseSize(const QByteArray &text, qint64 *bytes)
{
    QByteArray digits = text.trimmed();
    int shift = 0;
    const char unit = digits.isEmpty() ? '\0' : char(digits.at(digits.size() - 1) & ~0x20);
    if (unit == 'K' || unit == 'M' || unit == 'G') {
        shift = unit == 'K' ? 10 : unit == 'M' ? 20 : 30;
        digits.chop(1);
    }
    qint64 value = 0;
    if (digits.isEmpty() || !std::all_of(digits.cbegin(), digits.cend(), [](char c) { return c >= '0' && c <= '9'; })
        || !parseDecimal(digits, &value) || value < 1 || value > (qint64(4) << 30) >> shift)
        return false;
    *bytes = value << shift;
    return true;
}

bool UploadSettings::isValidPort(const QByteArray &text)
{
    qint64 port = 0;
    return parseDecimal(text, &port) && port >= 1 && port <= 65535;
}

QByteArray UploadSettings::proxyHostName(const QByteArray &host)
{
    return host.startsWith('[') && host.endsWith(']') ? host.mid(1, host.size() - 2) : host;
}

// A control character would let the token end its header and add others;
// a tab, inside or around it, a server would read as part of the header's syntax.
bool UploadSettings::isValidToken(const QByteArray &token)
{
    return std::none_of(token.cbegin(), token.cend(), [](char c) {
        const uchar byte = uchar(c);
        return byte < 0x20 || byte == 0x7f;
    });
}

// A name or address of the proxy only: a user, a scheme, a port or a blank in
// it would be taken for part of a name and fail only when the proxy is asked.
bool UploadSettings::isValidProxyHost(const QByteArray &host)
{
    const bool bracketed = host.startsWith('[') && host.endsWith(']');
    if (bracketed || host.contains(':'))
        return QHostAddress(QString::fromLatin1(proxyHostName(host))).protocol() == QAbstractSocket::IPv6Protocol;
    const bool characters = std::all_of(host.cbegin(), host.cend(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' || uchar(c) >= 0x80;
    });
    // Labels as a resolver takes them: "-" or "." would only fail at the first attempt, as a 75.
    const QList<QByteArray> labels = (host.endsWith('.') ? host.chopped(1) : host).split('.');
    return characters && host.size() <= 253 && std::all_of(labels.cbegin(), labels.cend(), [](const QByteArray &label) {
        return !label.isEmpty() && label.size() <= 63 && !label.startsWith('-') && !label.endsWith('-');
    });
}
