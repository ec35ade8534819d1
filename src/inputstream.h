#ifndef INPUTSTREAM_H
#define INPUTSTREAM_H

#include <QByteArray>
#include <QList>
#include <QObject>

#include <functional>
#include <vector>

class QSocketNotifier;

// Standard input, a pipe, a FIFO or a character device, read in order into a
// fixed number of chunk buffers: reading stops while every buffer is full, so
// a fast producer waits on its pipe instead of filling memory. The descriptor
// is read only when it is ready: a producer that stalls holds neither the
// transfers nor the signals.
class InputStream : public QObject
{
    Q_OBJECT

public:
    struct Chunk
    {
        qint64 index = 0;
        qint64 start = 0;
        qint64 length = 0;
        // Null for a chunk that is only checked.
        const char *bytes = nullptr;
        // The CRC-32 of gzip and zlib over its bytes.
        quint32 crc32 = 0;
        int buffer = -1;
    };
    enum class Opening { Opened, Unopenable, Terminal };

    // Without a journal no chunk's CRC-32 is wanted.
    InputStream(qint64 chunkSize, int bufferCount, bool checksummed, QObject *parent = nullptr);
    ~InputStream() override;

    // The reason bufferCount buffers of chunkSize bytes cannot be had, or empty.
    static QByteArray memoryProblem(qint64 chunkSize, int bufferCount);
    // "-" is standard input, read and left open.
    Opening open(const QByteArray &path);
    // What open would answer, for a dry run: only a device is opened, so a
    // FIFO's writer still waits.
    static Opening look(const QByteArray &path);
    // Chunks only checked by their length and CRC: their bytes are not kept.
    void setCheckedOnly(const std::function<bool(qint64 index)> &isChecked);
    void start();
    // The next chunk read whole, in order; false while none is.
    bool take(Chunk *chunk);
    // Its buffer may take the next bytes.
    void release(int buffer);
    // The stream ended and every chunk of it was taken.
    bool isDrained() const;
    // Why reading stopped early, or empty.
    QByteArray failure() const;
    qint64 chunksRead() const;
    // Bytes read so far.
    qint64 position() const;

signals:
    // A chunk is ready, the stream ended, or reading failed.
    void changed();

private:
    struct Buffer
    {
        char *data = nullptr;
        qint64 filled = 0;
        qint64 index = 0;
        quint32 crc32 = 0;
        bool free = true;
        bool checkedOnly = false;
    };

    void readReady();
    bool fillNext();
    void markReady();
    void stop();

    const qint64 chunkSize;
    const bool checksummed;
    std::vector<Buffer> buffers;
    std::function<bool(qint64)> checkedOnly;
    // Where a chunk only checked is read: one piece, still in the cache when the next comes.
    std::vector<char> scratch;
    QList<int> ready;
    int filling = -1;
    int descriptor = -1;
    bool owned = false;
    bool ended = false;
    qint64 nextIndex = 0;
    qint64 bytes = 0;
    QByteArray readFailure;
    QSocketNotifier *notifier = nullptr;
};

#endif // INPUTSTREAM_H
