#ifndef URLTEMPLATE_H
#define URLTEMPLATE_H

#include <QByteArray>

class ChunkLayout;

// The address of each chunk: {index}, {start}, {end} (exclusive), {size},
// {count} and {total} replaced by the chunk's figures, {name} and {path} by
// its file's last path segment and path, percent-encoded.
class UrlTemplate
{
public:
    explicit UrlTemplate(const QByteArray &text = QByteArray());

    // The reason the template cannot be used for this file, or empty: an
    // unknown placeholder, neither {index} nor {start} (every chunk would go
    // to one address), a placeholder in the user part or the fragment, or a
    // first, full or last chunk whose address is not usable; for several
    // files, neither {name} nor {path}.
    QByteArray problem(const ChunkLayout &layout, const QByteArray &path = QByteArray(), bool several = false) const;
    // The same for a stream, whose chunk count and size are not known until
    // it ends: {count} or {total} is a problem too.
    QByteArray streamProblem(qint64 chunkSize) const;
    // The reason one chunk's address is not usable, or empty.
    static QByteArray addressProblem(const QByteArray &address);
    QByteArray address(const ChunkLayout &layout, qint64 index, const QByteArray &path = QByteArray()) const;
    // Every byte outside A-Z a-z 0-9 - . _ ~ as %XX; {path} keeps the slashes
    // between its segments and drops a leading "./".
    static QByteArray encodedName(const QByteArray &path);
    static QByteArray encodedPath(const QByteArray &path);
    QByteArray text() const;

private:
    QByteArray pattern;
};

#endif // URLTEMPLATE_H
