#ifndef URLTEMPLATE_H
#define URLTEMPLATE_H

#include <QByteArray>

// The address of each chunk: {index}, {start}, {end} (exclusive), {size},
// {count} and {total} replaced by the chunk's figures.
class UrlTemplate
{
public:
    explicit UrlTemplate(const QByteArray &text = QByteArray());

    // The reason the template cannot be used, or empty: an unknown
    // placeholder, neither {index} nor {start} (every chunk would go to one
    // address), or an expansion that is not a usable address.
    QByteArray problem(qint64 chunkCount, qint64 fileSize) const;
    QByteArray expand(qint64 index, qint64 start, qint64 end, qint64 count, qint64 total) const;
    QByteArray text() const;

private:
    QByteArray pattern;
};

#endif // URLTEMPLATE_H
