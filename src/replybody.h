#ifndef REPLYBODY_H
#define REPLYBODY_H

#include <QByteArray>
#include <QScopedPointer>

#include <functional>

#include <zlib.h>

// The reply body as it arrives, inflated here when its Content-Encoding is
// gzip or deflate: Qt would inflate it whole, ahead of any cap. Neither the
// bytes that came nor their inflated form grows past the cap.
class ReplyBody
{
public:
    ReplyBody();
    ~ReplyBody();
    Q_DISABLE_COPY(ReplyBody)

    // Starts a new body with the reply's Content-Encoding; room is made for
    // a declared length within the cap, so that the body is never copied as it grows.
    void start(const QByteArray &contentEncoding, qint64 declaredLength = -1);
    // Answers false once the body, as it came or inflated, is over the cap.
    bool append(const QByteArray &bytes);
    // Inflated when all of it inflated; as it came otherwise, since then it
    // was not what its Content-Encoding said. Null when nothing came.
    QByteArray bytes() const;
    // Bytes that came, before inflation.
    qint64 receivedSize() const;
    // Bytes held, as they came and inflated.
    qint64 heldSize() const;
    // Asked before the body grows by this many bytes; when it answers false the
    // body does not grow and append() answers false. None by default.
    void setGrowth(const std::function<bool(qint64 bytes)> &mayGrow);

    static constexpr int maximumSize = 64 << 20;

private:
    enum class Coding { Identity, Gzip, Deflate };

    void inflateReceived();
    void endStream();

    Coding coding = Coding::Identity;
    QByteArray received;
    QByteArray inflated;
    QScopedPointer<z_stream> stream;
    std::function<bool(qint64)> growth;
    int fed = 0;
    bool ended = false;
    bool broken = false;
    bool refusedGrowth = false;
};

#endif // REPLYBODY_H
