#ifndef CHUNKLAYOUT_H
#define CHUNKLAYOUT_H

#include <QtGlobal>

// How a file of fileSize bytes falls into chunks of chunkSize: every chunk
// full but the last; an empty file is one empty chunk.
class ChunkLayout
{
public:
    ChunkLayout(qint64 fileSize, qint64 chunkSize);

    qint64 count() const;
    qint64 start(qint64 index) const;
    // Exclusive.
    qint64 end(qint64 index) const;
    qint64 fileSize() const;
    qint64 chunkSize() const;

private:
    qint64 size;
    qint64 chunk;
};

#endif // CHUNKLAYOUT_H
