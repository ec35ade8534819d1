#include "chunklayout.h"

ChunkLayout::ChunkLayout(qint64 fileSize, qint64 chunkSize)
    : size(fileSize)
    , chunk(qMax<qint64>(1, chunkSize))
{
}

qint64 ChunkLayout::count() const
{
    return size == 0 ? 1 : (size - 1) / chunk + 1;
}

qint64 ChunkLayout::start(qint64 index) const
{
    return index * chunk;
}

qint64 ChunkLayout::end(qint64 index) const
{
    return qMin(size, start(index) + chunk);
}

qint64 ChunkLayout::fileSize() const
{
    return size;
}

qint64 ChunkLayout::chunkSize() const
{
    return chunk;
}
