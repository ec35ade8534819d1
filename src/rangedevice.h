#ifndef RANGEDEVICE_H
#define RANGEDEVICE_H

#include <QIODevice>
#include <QTimer>

class RateLimiter;

// A byte range of an open file, read as it is sent with pread, so that the
// chunks of one file may share its descriptor. It never reads past the
// range when the file grows, and it gives its bytes once per attempt: Qt
// would seek back to the start and post the whole body again by itself when
// a connection closes during a request, up to four times over https.
class RangeDevice : public QIODevice
{
    Q_OBJECT

public:
    enum class Ownership { Shared, Taken };

    // A Taken descriptor is closed with the device.
    RangeDevice(int descriptor, Ownership ownership, qint64 start, qint64 length, QObject *parent);
    // Bytes held in memory, which must outlive the device: a chunk of a stream.
    RangeDevice(const char *bytes, qint64 length, QObject *parent);
    ~RangeDevice() override;

    // Opens a regular file without blocking: the name may have become a FIFO
    // since it was looked at. Answers the descriptor, or -1.
    static int openRegularFile(const char *path);

    // A new attempt: back to the start of the range.
    void rewind();
    // How often Qt may send the range within one attempt; 1 unless a
    // proxy must see it again after asking for credentials.
    void setPassesPerAttempt(int count);
    // Paces the bytes given; a read that must wait gives none, and readyRead() follows when it may go on.
    void setRateLimiter(RateLimiter *limiter);
    // The CRC-32 of gzip and zlib, of the bytes given in the last pass, once turned on.
    void setChecksumEnabled(bool enabled);
    quint32 checksum() const;

    bool isSequential() const override;
    qint64 size() const override;
    // Going back after bytes have gone is allowed, since Qt also seeks back
    // on a 307 or 308 that it does not follow, but the range is not read again.
    bool seek(qint64 position) override;

signals:
    // The file gave fewer bytes than the range holds: it shrank, or it states
    // a size it does not have. Emitted once; every later read fails too.
    void readFailed();
    // Qt began to post the range a second time in one attempt. Emitted once; every later read fails too.
    void resendRefused();

protected:
    qint64 readData(char *data, qint64 maxSize) override;
    qint64 writeData(const char *data, qint64 maxSize) override;

private:
    const int descriptor;
    const Ownership ownership;
    const qint64 start;
    const qint64 length;
    const char *memory = nullptr;
    // Bytes have been given since the pass began.
    bool given = false;
    int passes = 0;
    int allowedPasses = 1;
    bool refused = false;
    bool failed = false;
    bool checksummed = false;
    RateLimiter *limiter = nullptr;
    QTimer resume;
    quint32 crc = 0;
};

#endif // RANGEDEVICE_H
