#include "curlexchange.h"

#include "rangedevice.h"
#include "ratelimiter.h"
#include "replybudget.h"

CurlExchange::CurlExchange(CURL *easy, RateLimiter *limiter, ReplyBudget *budget, QObject *parent)
    : QObject(parent)
    , easy(easy)
    , limiter(limiter)
    , budget(budget)
{
    // The body grows only by what the run's budget grants.
    if (budget) {
        answer.setGrowth([this](qint64 bytes) {
            if (!this->budget->take(bytes)) {
                overBudget = true;
                return false;
            }
            charged += bytes;
            return true;
        });
    }
    pace.setSingleShot(true);
    pace.setTimerType(Qt::PreciseTimer);
    // The wait for the rate ends now, not when libcurl next reads: an idle check
    // due in the same turn of the loop must not count the wait as silence.
    connect(&pace, &QTimer::timeout, this, [this] {
        sinceMoved.start();
        curl_easy_pause(this->easy, CURLPAUSE_CONT);
    });
    const auto set = [this](CURLoption option, const char *name, auto value) {
        const CURLcode code = this->easy ? curl_easy_setopt(this->easy, option, value) : CURLE_FAILED_INIT;
        if (code != CURLE_OK && setupProblem.isEmpty())
            setupProblem = QByteArray(name) + ": " + curl_easy_strerror(code);
    };
    set(CURLOPT_READFUNCTION, "CURLOPT_READFUNCTION", &CurlExchange::readBody);
    set(CURLOPT_READDATA, "CURLOPT_READDATA", this);
    set(CURLOPT_SEEKFUNCTION, "CURLOPT_SEEKFUNCTION", &CurlExchange::seekBody);
    set(CURLOPT_SEEKDATA, "CURLOPT_SEEKDATA", this);
    set(CURLOPT_HEADERFUNCTION, "CURLOPT_HEADERFUNCTION", &CurlExchange::readHeader);
    set(CURLOPT_HEADERDATA, "CURLOPT_HEADERDATA", this);
    set(CURLOPT_WRITEFUNCTION, "CURLOPT_WRITEFUNCTION", &CurlExchange::readReply);
    set(CURLOPT_WRITEDATA, "CURLOPT_WRITEDATA", this);
}

const QByteArray &CurlExchange::problem() const
{
    return setupProblem;
}

CurlExchange::~CurlExchange()
{
    release();
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
    release();
    overBudget = false;
    device->rewind();
    sent = 0;
    pass = 0;
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

qint64 CurlExchange::passSize() const
{
    return pass;
}

void CurlExchange::keepCharged(qint64 bytes)
{
    if (charged > bytes)
        giveBack(charged - bytes);
}

bool CurlExchange::borrow(qint64 bytes)
{
    if (budget && !budget->take(bytes))
        return false;
    charged += bytes;
    return true;
}

void CurlExchange::giveBack(qint64 bytes)
{
    bytes = qMin(bytes, charged);
    if (budget)
        budget->give(bytes);
    charged -= bytes;
}

void CurlExchange::release()
{
    giveBack(charged);
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
    exchange->pass += read;
    exchange->sinceMoved.start();
    emit exchange->progress(exchange->sent);
    return size_t(read);
}

int CurlExchange::seekBody(void *self, curl_off_t offset, int origin)
{
    RangeDevice *body = static_cast<CurlExchange *>(self)->device;
    if (offset != 0 || origin != SEEK_SET)
        return CURL_SEEKFUNC_CANTSEEK;
    if (!body->seek(0))
        return CURL_SEEKFUNC_FAIL;
    static_cast<CurlExchange *>(self)->pass = 0;
    return CURL_SEEKFUNC_OK;
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
    // A new response lets go of the body of the one before.
    exchange->keepCharged(exchange->answer.heldSize());
    return length;
}

size_t CurlExchange::readReply(char *buffer, size_t size, size_t count, void *self)
{
    auto *exchange = static_cast<CurlExchange *>(self);
    const size_t length = size * count;
    exchange->sinceMoved.start();
    const bool taken = exchange->answer.readBody(QByteArray::fromRawData(buffer, int(length)));
    // What inflation took in whole pieces and did not fill goes back.
    exchange->keepCharged(exchange->answer.heldSize());
    if (!taken) {
        if (exchange->overBudget)
            emit exchange->replyOverBudget();
        else
            emit exchange->replyTooLarge();
        return 0;
    }
    return length;
}
