#ifndef CURLEXCHANGE_H
#define CURLEXCHANGE_H

#include "curlreply.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <curl/curl.h>

class RangeDevice;
class RateLimiter;

// The bytes of an attempt as libcurl moves them: the body read from the
// file as it goes out, paced by the run's rate limit, the reply taken in,
// and when a byte last moved.
class CurlExchange : public QObject
{
    Q_OBJECT

public:
    // The limiter may be null.
    CurlExchange(CURL *easy, RateLimiter *limiter, QObject *parent = nullptr);

    // Takes over the next chunk's body.
    void setBody(RangeDevice *device);
    // Null before the first chunk.
    RangeDevice *body() const;
    // A new attempt: the body from its start, no reply yet.
    void restart();
    // The attempt ended: a body held back waits no longer.
    void stop();
    // Time held back by the rate limit, which other chunks in flight may take
    // whole for a while, counts as moving: it is not the server's silence.
    qint64 idleMilliseconds();
    CurlReply &reply();

signals:
    void progress(qint64 bytesSent);
    // The file gave fewer bytes than the range holds.
    void readFailed();
    // The reply is over its cap, or declared so.
    void replyTooLarge();

private:
    static size_t readBody(char *buffer, size_t size, size_t count, void *self);
    static int seekBody(void *self, curl_off_t offset, int origin);
    static size_t readHeader(char *buffer, size_t size, size_t count, void *self);
    static size_t readReply(char *buffer, size_t size, size_t count, void *self);

    CURL *easy;
    RateLimiter *limiter;
    RangeDevice *device = nullptr;
    // Resumes a body held back by the rate limit.
    QTimer pace;
    QElapsedTimer sinceMoved;
    qint64 sent = 0;
    CurlReply answer;
};

#endif // CURLEXCHANGE_H
