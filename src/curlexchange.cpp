#include "curlexchange.h"

#include "rangedevice.h"
#include "ratelimiter.h"

CurlExchange::CurlExchange(CURL *easy, RateLimiter *limiter, QObject *parent)
    : QObject(parent)
    , easy(easy)
    , limiter(limiter)
{
    pace.setSingleShot(true);
    pace.setTimerType(Qt::PreciseTimer);
    connect(&pace, &QTimer::timeout, this, [this] { curl_easy_pause(this->easy, CURLPAUSE_CONT); });
    curl_easy_setopt(easy, CURLOPT_READFUNCTION, &CurlExchange::readBody);
    curl_easy_setopt(easy, CURLOPT_READDATA, this);
    curl_easy_setopt(easy, CURLOPT_SEEKFUNCTION, &CurlExchange::seekBody);
    curl_easy_setopt(easy, CURLOPT_SEEKDATA, this);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &CurlExchange::readHeader);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &CurlExchange::readReply);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);
}

void CurlExchange::setBody(RangeDevice *body)
{
    delete device;
    device = body;
    device->setParent(this);
    // libcurl sends a body again when a kept connection turns out closed, or a proxy asks for credentials first.
    device->setPassesPerAttempt(2);
    connect(device, &RangeDevice::readFailed, this, &CurlExchange::readFailed);
}

RangeDevice *CurlExchange::body() const
{
    return device;
}

void CurlExchange::restart()
{
    answer.start();
    device->rewind();
    sent = 0;
    sinceMoved.start();
}

void CurlExchange::stop()
{
    pace.stop();
}

qint64 CurlExchange::idleMilliseconds()
{
    if (pace.isActive())
        sinceMoved.start();
    return sinceMoved.elapsed();
}

CurlReply &CurlExchange::reply()
{
    return answer;
}

size_t CurlExchange::readBody(char *buffer, size_t size, size_t count, void *self)
{
    auto *exchange = static_cast<CurlExchange *>(self);
    RangeDevice *body = exchange->device;
    qint64 wanted = qMin<qint64>(qint64(size * count), body->size() - body->pos());
    if (wanted > 0 && exchange->limiter) {
        const qint64 granted = exchange->limiter->take(wanted);
        if (granted == 0) {
            exchange->pace.start(qMax(1, exchange->limiter->waitMilliseconds(wanted)));
            return CURL_READFUNC_PAUSE;
        }
        wanted = granted;
    }
    const qint64 read = wanted > 0 ? body->read(buffer, wanted) : 0;
    if (read < 0)
        return CURL_READFUNC_ABORT;
    exchange->sent += read;
    exchange->sinceMoved.start();
    emit exchange->progress(exchange->sent);
    return size_t(read);
}

int CurlExchange::seekBody(void *self, curl_off_t offset, int origin)
{
    RangeDevice *body = static_cast<CurlExchange *>(self)->device;
    if (offset != 0 || origin != SEEK_SET)
        return CURL_SEEKFUNC_CANTSEEK;
    return body->seek(0) ? CURL_SEEKFUNC_OK : CURL_SEEKFUNC_FAIL;
}

size_t CurlExchange::readHeader(char *buffer, size_t size, size_t count, void *self)
{
    auto *exchange = static_cast<CurlExchange *>(self);
    const size_t length = size * count;
    exchange->sinceMoved.start();
    if (!exchange->answer.readHeader(QByteArray(buffer, int(length)).trimmed())) {
        emit exchange->replyTooLarge();
        return 0;
    }
    return length;
}

size_t CurlExchange::readReply(char *buffer, size_t size, size_t count, void *self)
{
    auto *exchange = static_cast<CurlExchange *>(self);
    const size_t length = size * count;
    exchange->sinceMoved.start();
    if (!exchange->answer.readBody(QByteArray::fromRawData(buffer, int(length)))) {
        emit exchange->replyTooLarge();
        return 0;
    }
    return length;
}

// Its own meta-object code here, not in the library's shared moc unit, so that uploader links no libcurl.
#include "moc_curlexchange.cpp"
