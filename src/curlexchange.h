#ifndef CURLEXCHANGE_H
#define CURLEXCHANGE_H

#include "curlreply.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <curl/curl.h>

class RangeDevice;
class RateLimiter;
class ReplyBudget;

// The bytes of an attempt as libcurl moves them: the body read from the
// file as it goes out, paced by the run's rate limit, the reply taken in,
// and when a byte last moved.
class CurlExchange : public QObject
{
    Q_OBJECT

public:
    // The limiter and the budget may be null.
    CurlExchange(CURL *easy, RateLimiter *limiter, ReplyBudget *budget, QObject *parent = nullptr);
    ~CurlExchange() override;

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
    // The first of its options libcurl refused, as CurlRequest::problem() says; empty when none.
    const QByteArray &problem() const;
    // Bytes of the body that libcurl took since it last started it from the beginning.
    qint64 passSize() const;

    // The reply's share of the run's budget: what its holder keeps of it now
    // (the rest is given back), more for a while, and all of it back.
    void keepCharged(qint64 bytes);
    bool borrow(qint64 bytes);
    void giveBack(qint64 bytes);
    void release();

signals:
    void progress(qint64 bytesSent);
    // The file gave fewer bytes than the range holds.
    void readFailed();
    // The reply is over its cap, or declared so.
    void replyTooLarge();
    // The reply could not grow: the run's replies hold its whole budget.
    void replyOverBudget();

private:
    static size_t readBody(char *buffer, size_t size, size_t count, void *self);
    static int seekBody(void *self, curl_off_t offset, int origin);
    static size_t readHeader(char *buffer, size_t size, size_t count, void *self);
    static size_t readReply(char *buffer, size_t size, size_t count, void *self);

    CURL *easy;
    QByteArray setupProblem;
    RateLimiter *limiter;
    RangeDevice *device = nullptr;
    // Resumes a body held back by the rate limit.
    QTimer pace;
    QElapsedTimer sinceMoved;
    qint64 sent = 0;
    qint64 pass = 0;
    ReplyBudget *budget;
    // Taken from the budget for the reply, as it came and inflated, or as its holder keeps it.
    qint64 charged = 0;
    bool overBudget = false;
    CurlReply answer;
};

#endif // CURLEXCHANGE_H
