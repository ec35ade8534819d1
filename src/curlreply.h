#ifndef CURLREPLY_H
#define CURLREPLY_H

#include "replybody.h"

#include <QByteArray>
#include <QList>
#include <QPair>

// The answer to one attempt as libcurl hands it over: the header lines of
// each response, then the body within its caps. A 1xx response is replaced
// by the one that follows.
class CurlReply
{
public:
    using Headers = QList<QPair<QByteArray, QByteArray>>;

    // A new attempt: what the last one left is forgotten.
    void start();
    // One header line; answers false when the body is declared larger than
    // any this program reads, before a byte of it is held.
    bool readHeader(const QByteArray &line);
    // Answers false once the body is over its cap.
    bool readBody(const QByteArray &bytes);
    // Hands the body over and lets go of it; receivedSize() stays.
    QByteArray takeBody();

    // 0 until a status line came.
    int httpStatus() const;
    const QByteArray &reason() const;
    const Headers &headers() const;
    // -1 when none or an unreadable one was given.
    qint64 declaredLength() const;
    // Bytes of the body that came, before inflation.
    qint64 receivedSize() const;
    // Bytes of the body held now, as they came and inflated.
    qint64 heldSize() const;
    // Asked before the body grows, as ReplyBody::setGrowth() says.
    void setGrowth(const std::function<bool(qint64 bytes)> &mayGrow);

    // The first value of a header, whatever its name's case; null when absent.
    static QByteArray headerValue(const Headers &headers, const QByteArray &name);

private:
    int status = 0;
    QByteArray statusReason;
    Headers lines;
    qint64 declared = -1;
    qint64 received = 0;
    ReplyBody body;
};

#endif // CURLREPLY_H
