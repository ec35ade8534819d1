#include "urltemplate.h"

#include "uploadarguments.h"

#include <QRegularExpression>

UrlTemplate::UrlTemplate(const QByteArray &text)
    : pattern(text)
{
}

QByteArray UrlTemplate::problem(qint64 chunkCount, qint64 fileSize) const
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
    // The largest figures are the longest; the first and the last chunk show both ends.
    const QByteArray last = expand(chunkCount - 1, fileSize, fileSize, chunkCount, fileSize);
    if (!UploadArguments::isValidUrl(expand(0, 0, 0, chunkCount, fileSize)) || !UploadArguments::isValidUrl(last))
        return "not a usable address: " + UploadArguments::withoutPassword(last);
    return QByteArray();
}

QByteArray UrlTemplate::expand(qint64 index, qint64 start, qint64 end, qint64 count, qint64 total) const
{
    QByteArray url = pattern;
    url.replace("{index}", QByteArray::number(index));
    url.replace("{start}", QByteArray::number(start));
    url.replace("{end}", QByteArray::number(end));
    url.replace("{size}", QByteArray::number(end - start));
    url.replace("{count}", QByteArray::number(count));
    url.replace("{total}", QByteArray::number(total));
    return url;
}

QByteArray UrlTemplate::text() const
{
    return pattern;
}
