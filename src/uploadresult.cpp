#include "uploadresult.h"

#include "utf8text.h"

#include <QString>

#include <charconv>
#include <cmath>
#include <cstring>

namespace {

// Collects the text in a buffer of its own and hands it on when full.
class JsonOutput
{
public:
    explicit JsonOutput(const UploadResult::Sink &sink)
        : sink(sink)
    {
    }

    void literal(const char *text) { raw(text, qint64(std::strlen(text))); }

    void raw(const char *text, qint64 size)
    {
        for (qint64 i = 0; i < size; ++i)
            put(text[i]);
    }

    void number(qint64 value)
    {
        char text[24];
        const auto end = std::to_chars(text, text + sizeof text, value).ptr;
        raw(text, end - text);
    }

    // The shortest text that reads back as the same double; null where JSON has no number.
    void number(double value)
    {
        if (!std::isfinite(value)) {
            literal("null");
            return;
        }
        char text[32];
        const auto end = std::to_chars(text, text + sizeof text, value, std::chars_format::general).ptr;
        raw(text, end - text);
    }

    // Quotes, backslashes and control characters escaped; bytes that are not
    // UTF-8 become replacement characters, as on the console.
    void string(const char *data, qint64 size)
    {
        put('"');
        Utf8Text::convert(data, size, [this](const char *text, qint64 length) {
            escaped(text, length);
            return true;
        });
        put('"');
    }

    void string(const QByteArray &bytes) { string(bytes.constData(), bytes.size()); }

    // Two texts as one string, the second after ": " when there is one; nothing is allocated.
    void string(const char *data, qint64 size, const QByteArray &more)
    {
        put('"');
        const auto escape = [this](const char *text, qint64 length) {
            escaped(text, length);
            return true;
        };
        Utf8Text::convert(data, size, escape);
        if (!more.isEmpty()) {
            literal(": ");
            Utf8Text::convert(more.constData(), more.size(), escape);
        }
        put('"');
    }

    void base64(const QByteArray &bytes)
    {
        static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        const uchar *data = reinterpret_cast<const uchar *>(bytes.constData());
        const qint64 size = bytes.size();
        put('"');
        for (qint64 i = 0; i < size; i += 3) {
            const uint group = uint(data[i]) << 16 | (i + 1 < size ? uint(data[i + 1]) << 8 : 0) | (i + 2 < size ? data[i + 2] : 0);
            put(alphabet[group >> 18 & 63]);
            put(alphabet[group >> 12 & 63]);
            put(i + 1 < size ? alphabet[group >> 6 & 63] : '=');
            put(i + 2 < size ? alphabet[group & 63] : '=');
        }
        put('"');
    }

    bool finish()
    {
        flush();
        return ok;
    }

private:
    void escaped(const char *utf8, qint64 size)
    {
        static const char hex[] = "0123456789abcdef";
        for (const char *end = utf8 + size; utf8 < end; ++utf8) {
            const char c = *utf8;
            if (c == '"' || c == '\\') {
                put('\\');
                put(c);
            } else if (uchar(c) < 0x20) {
                literal("\\u00");
                put(hex[uchar(c) >> 4]);
                put(hex[uchar(c) & 0xf]);
            } else {
                put(c);
            }
        }
    }

    void put(char c)
    {
        if (used == buffer.size())
            flush();
        buffer[used++] = c;
    }

    void flush()
    {
        if (used > 0 && ok)
            ok = sink(buffer.constData(), used);
        used = 0;
    }

    const UploadResult::Sink &sink;
    // On the heap: a run refused for its stack limit still writes its result.
    QByteArray buffer{ 4096, Qt::Uninitialized };
    int used = 0;
    bool ok = true;
};

} // namespace

void UploadResult::startAttempt()
{
    ++attempts;
    httpStatus = 0;
    reason.clear();
    error = 0;
    failure.clear();
    detail.clear();
    statusCodeShown = false;
    statusCode = 0;
    headers.clear();
    reply.clear();
}

// The members in alphabetical order, then the headers and the reply.
bool UploadResult::writeJson(const Sink &sink) const
{
    JsonOutput json(sink);
    json.literal("{\"attempts\":");
    json.number(qint64(attempts));
    // An inverted range sent nothing.
    json.literal(",\"bytes\":");
    json.number(qMax<qint64>(0, bytes));
    if (index >= 0) {
        json.literal(",\"end\":");
        json.number(end);
    }
    json.literal(",\"error\":");
    json.number(qint64(error));
    json.literal(",\"exit\":");
    json.number(qint64(exitStatus));
    if (!file.isEmpty()) {
        json.literal(",\"file\":");
        json.string(file);
    }
    // A name that is not UTF-8 shows with replacement characters: its bytes tell two such files apart.
    if (!file.isEmpty() && !Utf8Text::isValid(file)) {
        json.literal(",\"file_base64\":");
        json.base64(file);
    }
    json.literal(",\"http_status\":");
    if (httpStatus > 0)
        json.number(qint64(httpStatus));
    else
        json.literal("null");
    const double seconds = elapsedMilliseconds / 1000.0;
    if (index >= 0) {
        json.literal(",\"index\":");
        json.number(index);
    }
    json.literal(",\"megabits_per_second\":");
    // As the final report computes it.
    if (elapsedMilliseconds >= 0)
        json.number(qMax<qint64>(0, bytes) * 8.0 / seconds / 1000000.0);
    else
        json.literal("null");
    // The console line without its leading " >> " and its closing space.
    const char *message = failure.constData();
    qint64 length = failure.size();
    if (failure.startsWith(" >> ")) {
        message += 4;
        length -= 4;
    }
    if (length > 0 && message[length - 1] == ' ')
        --length;
    json.literal(",\"message\":");
    json.string(message, length, detail);
    json.literal(",\"seconds\":");
    if (elapsedMilliseconds >= 0)
        json.number(seconds);
    else
        json.literal("null");
    if (index >= 0) {
        json.literal(",\"start\":");
        json.number(start);
    }
    json.literal(",\"status_code\":");
    if (statusCodeShown)
        json.number(qint64(statusCode));
    else
        json.literal("null");
    json.literal(",\"headers\":[");
    for (int i = 0; i < headers.size(); ++i) {
        json.literal(i > 0 ? ",[" : "[");
        json.string(headers.at(i).first);
        json.literal(",");
        json.string(headers.at(i).second);
        json.literal("]");
    }
    const bool answered = httpStatus > 0;
    const bool text = Utf8Text::isValid(reply);
    json.literal("],\"reply\":");
    if (answered && text)
        json.string(reply);
    else
        json.literal("null");
    json.literal(",\"reply_base64\":");
    if (answered && !text)
        json.base64(reply);
    else
        json.literal("null");
    json.literal("}\n");
    return json.finish();
}
