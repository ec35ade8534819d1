// A command line and the two environment variables through the argument
// checks, against the rules restated here on their own: whatever the checks
// accept or refuse, the restatement must agree.
// Input: zero-separated fields, UPLOADER_IDLE_TIMEOUT, UPLOADER_API_TOKEN
// (both unset when empty), then the arguments from argv[0] on.
#include "uploadarguments.h"
#include "uploadsettings.h"

#include <QByteArray>
#include <QList>
#include <QVector>

#include <cstddef>
#include <cstdint>
#include <string>

namespace {

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Optional blanks around an optional sign and at least one digit, within 64 bits.
bool decimal(const QByteArray &text, long long *value)
{
    std::string s = text.toStdString();
    while (!s.empty() && isBlank(s.front()))
        s.erase(0, 1);
    while (!s.empty() && isBlank(s.back()))
        s.pop_back();
    const bool negative = !s.empty() && s.front() == '-';
    if (!s.empty() && (s.front() == '-' || s.front() == '+'))
        s.erase(0, 1);
    if (s.empty() || s.find_first_not_of("0123456789") != std::string::npos)
        return false;
    s.erase(0, s.find_first_not_of('0') == std::string::npos ? s.size() - 1 : s.find_first_not_of('0'));
    const std::string limit = negative ? "9223372036854775808" : "9223372036854775807";
    if (s.size() > limit.size() || (s.size() == limit.size() && s > limit))
        return false;
    unsigned long long magnitude = 0;
    for (const char c : s)
        magnitude = magnitude * 10 + unsigned(c - '0');
    *value = negative ? static_cast<long long>(0 - magnitude) : static_cast<long long>(magnitude);
    return true;
}

bool token(const QByteArray &text)
{
    for (const char c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            return false;
    return true;
}

bool proxyHost(const QByteArray &host)
{
    // An IPv6 literal's grammar is QHostAddress's own.
    if (host.contains(':') || host.contains('['))
        return UploadSettings::isValidProxyHost(host);
    for (const char c : host)
        if (!(c >= 'a' && c <= 'z') && !(c >= 'A' && c <= 'Z') && !(c >= '0' && c <= '9') && c != '-' && c != '.' && c != '_' && static_cast<unsigned char>(c) < 0x80)
            return false;
    if (host.size() > 253)
        return false;
    // Labels between dots, one trailing dot allowed.
    int start = 0;
    const int end = host.endsWith('.') ? host.size() - 1 : host.size();
    for (int dot = 0; dot <= end; ++dot) {
        if (dot < end && host.at(dot) != '.')
            continue;
        const int length = dot - start;
        if (length < 1 || length > 63 || host.at(start) == '-' || host.at(dot - 1) == '-')
            return false;
        start = dot + 1;
    }
    return true;
}

void setVariable(const char *name, const QByteArray &value)
{
    if (value.isEmpty())
        qunsetenv(name);
    else
        qputenv(name, value);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QList<QByteArray> fields = QByteArray(reinterpret_cast<const char *>(data), int(size)).split('\0');
    const QByteArray timeout = fields.value(0);
    const QByteArray environmentToken = fields.value(1);
    fields = fields.mid(2);
    setVariable("UPLOADER_IDLE_TIMEOUT", timeout);
    setVariable("UPLOADER_API_TOKEN", environmentToken);
    qunsetenv("UPLOADER_RETRIES");

    QVector<const char *> argv;
    for (const QByteArray &field : fields)
        argv << field.constData();
    argv << nullptr;
    UploadArguments parsed;
    const bool accepted = parsed.parse(fields.size(), argv.constData());

    long long start = 0;
    long long end = 0;
    long long port = 0;
    long long seconds = 900;
    const QByteArray expectedToken = fields.value(2).isEmpty() ? environmentToken : fields.value(2);
    const bool valid = fields.size() >= 9 && token(expectedToken) && decimal(fields.at(4), &start)
                       && decimal(fields.at(5), &end)
                       && (fields.at(8) != "true" || (proxyHost(fields.at(6)) && decimal(fields.at(7), &port) && port >= 1 && port <= 65535))
                       // The address's grammar is QUrl's own; restating it here would restate Qt.
                       && UploadArguments::isValidUrl(fields.at(1))
                       && (timeout.isEmpty() || (decimal(timeout, &seconds) && seconds >= 0 && seconds <= 2147483647));
    if (accepted != valid)
        __builtin_trap();
    if (accepted && (parsed.start_offset != start || parsed.end_offset != end || parsed.settings.idleTimeout != seconds
                     || parsed.api_token != expectedToken))
        __builtin_trap();
    return 0;
}
