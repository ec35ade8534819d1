#ifndef UTF8TEXT_H
#define UTF8TEXT_H

#include <QByteArray>

#include <functional>

// UTF-8 checked without decoding, and converted a piece at a time: a reply
// body may be 64 MiB of bytes that are not UTF-8, which decoded whole would
// take five times that.
class Utf8Text
{
public:
    // Overlong forms, surrogates and code points past U+10FFFF are not UTF-8.
    static bool isValid(const char *data, qint64 size);
    static bool isValid(const QByteArray &bytes);

    // Hands the bytes on as valid UTF-8, about a mebibyte at a time, each
    // byte that is not UTF-8 replaced as Qt's decoder replaces it. Answers
    // false as soon as the sink does.
    using Sink = std::function<bool(const char *data, qint64 size)>;
    static bool convert(const char *data, qint64 size, const Sink &sink);
};

#endif // UTF8TEXT_H
