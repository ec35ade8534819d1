#include "urltemplate.h"

#include "chunklayout.h"
#include "uploadarguments.h"

#include <QRegularExpression>

UrlTemplate::UrlTemplate(const QByteArray &text)
    : pattern(text)
{
}

QByteArray UrlTemplate::problem(const ChunkLayout &layout, const QByteArray &path, bool several) const
{
    static const QRegularExpression placeholder(QStringLiteral("\\{([^{}]*)\\}"));
    static const QStringList known = { QStringLiteral("index"), QStringLiteral("start"), QStringLiteral("end"),
                                       QStringLiteral("size"), QStringLiteral("count"), QStringLiteral("total"),
                                       QStringLiteral("name"), QStringLiteral("path") };
    auto matches = placeholder.globalMatch(QString::fromUtf8(pattern));
    while (matches.hasNext()) {
        const QString name = matches.next().captured(1);
        if (!known.contains(name))
            return "unknown placeholder {" + name.toUtf8() + '}';
    }
    if (!pattern.contains("{index}") && !pattern.contains("{start}"))
        return "neither {index} nor {start}: every chunk would go to the same address";
    if (several && !pattern.contains("{name}") && !pattern.contains("{path}"))
        return "neither {name} nor {path}: every file would go to the same addresses";
    // A user part or a fragment never tells the server which chunk came.
    const int authority = pattern.indexOf("://") + 3;
    const int fragment = pattern.indexOf('#');
    const int userEnd = pattern.indexOf('@', authority);
    int hostStart = pattern.size();
    for (const char stop : { '/', '?', '#' })
        if (pattern.indexOf(stop, authority) >= 0)
            hostStart = qMin(hostStart, pattern.indexOf(stop, authority));
    if ((fragment >= 0 && pattern.indexOf('{', fragment) >= 0)
        || (authority >= 3 && userEnd >= 0 && userEnd < hostStart && pattern.mid(authority, userEnd - authority).contains('{')))
        return "a placeholder in the user part or the fragment";
    // The first chunk has the smallest figures, the last the largest; the one
    // before the last is full.
    for (const qint64 index : { qint64(0), qMax<qint64>(0, layout.count() - 2), layout.count() - 1 }) {
        const QByteArray failure = addressProblem(address(layout, index, path));
        if (!failure.isEmpty())
            return failure;
    }
    return QByteArray();
}

QByteArray UrlTemplate::streamProblem(qint64 chunkSize) const
{
    for (const char *unknown : { "{count}", "{total}" })
        if (pattern.contains(unknown))
            return QByteArray(unknown) + " is not known before a stream ends";
    return problem(ChunkLayout(2 * chunkSize, chunkSize));
}

QByteArray UrlTemplate::addressProblem(const QByteArray &address)
{
    return UploadArguments::isValidUrl(address) ? QByteArray() : "not a usable address: " + UploadArguments::withoutPassword(address);
}

QByteArray UrlTemplate::address(const ChunkLayout &layout, qint64 index, const QByteArray &path) const
{
    const qint64 start = layout.start(index);
    const qint64 end = layout.end(index);
    QByteArray url = pattern;
    url.replace("{index}", QByteArray::number(index));
    url.replace("{start}", QByteArray::number(start));
    url.replace("{end}", QByteArray::number(end));
    url.replace("{size}", QByteArray::number(end - start));
    url.replace("{count}", QByteArray::number(layout.count()));
    url.replace("{total}", QByteArray::number(layout.fileSize()));
    if (url.contains("{name}"))
        url.replace("{name}", encodedName(path));
    if (url.contains("{path}"))
        url.replace("{path}", encodedPath(path));
    return url;
}

namespace {

// "." and ".." are encoded too: the client would resolve them away, and two files would share an address.
QByteArray encodedSegment(const QByteArray &segment)
{
    if (segment == "." || segment == "..")
        return segment == "." ? QByteArray("%2E") : QByteArray("%2E%2E");
    return segment.toPercentEncoding();
}

} // namespace

QByteArray UrlTemplate::encodedName(const QByteArray &path)
{
    return encodedSegment(path.mid(path.lastIndexOf('/') + 1));
}

QByteArray UrlTemplate::encodedPath(const QByteArray &path)
{
    QByteArray given = path;
    while (given.startsWith("./"))
        given.remove(0, 2);
    QByteArray encoded;
    int from = 0;
    for (;;) {
        const int slash = given.indexOf('/', from);
        encoded += encodedSegment(given.mid(from, slash < 0 ? -1 : slash - from));
        if (slash < 0)
            return encoded;
        encoded += '/';
        from = slash + 1;
    }
}

QByteArray UrlTemplate::text() const
{
    return pattern;
}
