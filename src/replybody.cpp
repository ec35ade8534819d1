#include "replybody.h"

ReplyBody::ReplyBody() = default;

ReplyBody::~ReplyBody()
{
    endStream();
}

void ReplyBody::start(const QByteArray &contentEncoding, qint64 declaredLength)
{
    endStream();
    const QByteArray name = contentEncoding.trimmed().toLower();
    coding = name == "gzip" || name == "x-gzip" ? Coding::Gzip : name == "deflate" ? Coding::Deflate : Coding::Identity;
    received = QByteArray();
    if (declaredLength > 0 && declaredLength <= maximumSize)
        received.reserve(int(declaredLength));
    inflated = QByteArray();
    fed = 0;
    ended = false;
    broken = false;
    refusedGrowth = false;
}

bool ReplyBody::append(const QByteArray &bytes)
{
    if (bytes.isEmpty())
        return true;
    if (bytes.size() > maximumSize - received.size())
        return false;
    if (growth && !growth(bytes.size()))
        return false;
    received += bytes;
    if (coding != Coding::Identity && !broken)
        inflateReceived();
    return inflated.size() <= maximumSize && !refusedGrowth;
}

QByteArray ReplyBody::bytes() const
{
    return coding != Coding::Identity && ended && !broken ? inflated : received;
}

qint64 ReplyBody::receivedSize() const
{
    return received.size();
}

qint64 ReplyBody::heldSize() const
{
    return qint64(received.size()) + inflated.size();
}

void ReplyBody::setGrowth(const std::function<bool(qint64)> &mayGrow)
{
    growth = mayGrow;
}

// Inflates what has come since the last call, into pieces of the output that
// stop one byte past the cap.
void ReplyBody::inflateReceived()
{
    static const int piece = 64 << 10;
    if (!stream) {
        // "deflate" is meant as a zlib stream, but servers also send it raw.
        // 15 + 32 reads a gzip or a zlib header; -15 reads no header at all.
        int windowBits = 15 + 32;
        if (coding == Coding::Deflate) {
            if (received.size() < 2)
                return;
            const uint header = uchar(received.at(0)) << 8 | uchar(received.at(1));
            windowBits = (header >> 8 & 0x0f) == Z_DEFLATED && header % 31 == 0 ? 15 : -15;
        }
        stream.reset(new z_stream());
        if (inflateInit2(stream.data(), windowBits) != Z_OK) {
            stream.reset();
            broken = true;
            return;
        }
    }
    while (!broken && inflated.size() <= maximumSize) {
        if (ended) {
            if (fed == received.size())
                return;
            // A gzip body may hold several members; anything else after the end is not the stream.
            if (coding != Coding::Gzip || inflateReset(stream.data()) != Z_OK) {
                broken = true;
                return;
            }
            ended = false;
        }
        const int before = inflated.size();
        const int room = qMin(piece, maximumSize + 1 - before);
        if (growth && !growth(room)) {
            refusedGrowth = true;
            return;
        }
        inflated.resize(before + room);
        stream->next_in = reinterpret_cast<Bytef *>(received.data() + fed);
        stream->avail_in = uInt(received.size() - fed);
        stream->next_out = reinterpret_cast<Bytef *>(inflated.data() + before);
        stream->avail_out = uInt(room);
        const int status = ::inflate(stream.data(), Z_NO_FLUSH);
        fed = received.size() - int(stream->avail_in);
        inflated.resize(before + room - int(stream->avail_out));
        if (status == Z_STREAM_END)
            ended = true;
        else if (status != Z_OK && status != Z_BUF_ERROR)
            broken = true;
        else if (stream->avail_out > 0)
            return; // all that came is inflated
    }
}

void ReplyBody::endStream()
{
    if (stream)
        inflateEnd(stream.data());
    stream.reset();
}
