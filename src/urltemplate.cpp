#include "urltemplate.h"

#include "chunklayout.h"
#include "uploadarguments.h"

#include <QRegularExpression>

UrlTemplate::UrlTemplate(const QByteArray &text)
    : pattern(text)
{
}

QByteArray UrlTemplate::problem(const ChunkLayout &layout) const
{
    static const QRegularExpression placeholder(QStringLiteral("\\{([^{}]*)\\}"));
    static const QStringList known = { QStringLiteral("index"), QStringLiteral("start"), QStringLiteral("end"),
                                       QStringLiteral("size"), QStringLiteral("count"), QStringLiteral("total") };
    auto matches = placeholder.globalMatch(QString::fromUtf8(pattern));
    while (matches.hasNext()) {
        const QString name = matches.next().captured(1);
        if (!known.contains(name))
            return "unknown placeholder {" + name.toUtf8() + '}';
    }
    if (!pattern.contains("{index}") && !pattern.contains("{start}"))
        return "neither {index} nor {start}: every chunk would go to the same address";
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
        const QByteArray failure = addressProblem(address(layout, index));
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

QByteArray UrlTemplate::address(const ChunkLayout &layout, qint64 index) const
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
    return url;
}

QByteArray UrlTemplate::text() const
{
    return pattern;
}
