#include "curltransfer.h"

#include "curlerror.h"
#include "curlmulti.h"
#include "proxyprobe.h"
#include "rangedevice.h"
#include "retrypolicy.h"
#include "replyreader.h"

#include <QDateTime>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QUrl>

namespace {

const QByteArray proxyRefused = " >> Proxy authentication failed: check UPLOADER_PROXY_USER and UPLOADER_PROXY_PASSWORD ";

} // namespace

CurlTransfer::CurlTransfer(CurlMulti *multi, const Settings &settings, QObject *parent)
    : QObject(parent)
    , multi(multi)
    , settings(settings)
    , request(settings)
    , exchange(request.handle(), settings.limiter)
{
    // A coarse timer may fire 5 % early: a Retry-After of 3 seconds waited 2.85.
    retryWait.setSingleShot(true);
    retryWait.setTimerType(Qt::PreciseTimer);
    connect(&retryWait, &QTimer::timeout, this, &CurlTransfer::post);
    connect(&idleCheck, &QTimer::timeout, this, &CurlTransfer::checkIdle);
    connect(multi, &CurlMulti::finished, this, &CurlTransfer::transferFinished);
    connect(&exchange, &CurlExchange::progress, this, &CurlTransfer::uploadProgress);
    connect(&exchange, &CurlExchange::readFailed, this, [this] { cause = Cause::FileUnreadable; });
    connect(&exchange, &CurlExchange::replyTooLarge, this, [this] { cause = Cause::ReplyTooLarge; });
}

CurlTransfer::~CurlTransfer()
{
    if (state == State::Posting)
        multi->remove(request.handle());
}

void CurlTransfer::start(const QByteArray &url, RangeDevice *device, const QDeadlineTimer &deadline)
{
    exchange.setBody(device);
    retryDeadline = deadline;
    ending = false;
    outcome = UploadResult();
    outcome.bytes = device->size();
    request.prepare(url, device->size());
    post();
}

const UploadResult &CurlTransfer::result() const
{
    return outcome;
}

quint32 CurlTransfer::checksum() const
{
    return exchange.body() ? exchange.body()->checksum() : 0;
}

void CurlTransfer::abort(const QByteArray &line)
{
    ending = true;
    giveUp(line);
}

// Every attempt sends the range from its start, with the same headers.
void CurlTransfer::post()
{
    outcome.startAttempt();
    send();
}

void CurlTransfer::send()
{
    request.prepareAttempt();
    cause = Cause::None;
    exchange.restart();
    state = State::Posting;
    emit attemptStarted();
    elapsed.start();
    if (settings.upload.idleTimeout > 0)
        idleCheck.start(1000);
    multi->add(request.handle());
}

void CurlTransfer::transferFinished(CURL *handle, CURLcode code)
{
    if (handle == request.handle() && state == State::Posting)
        endAttempt(code);
}

void CurlTransfer::endAttempt(CURLcode code)
{
    state = State::Idle;
    idleCheck.stop();
    exchange.stop();
    CurlReply &reply = exchange.reply();
    if (!probe) {
        outcome.elapsedMilliseconds = elapsed.elapsed();
        outcome.httpStatus = reply.httpStatus();
        outcome.reason = outcome.httpStatus > 0 ? reply.reason() : QByteArray();
        outcome.headers = reply.headers();
        // Kept on an error too: an error status often says why in its body.
        outcome.reply = reply.takeBody();
    }
    // A proxy that refused Basic and asks for another scheme is answered in it,
    // within the attempt; the scheme stays for the chunks that follow.
    if (cause == Cause::None && request.answerProxyScheme(outcome.httpStatus))
        return send();
    request.answered(outcome.httpStatus);
    switch (cause) {
    case Cause::GivenUp:
        return fail(outcome.failure, int(QNetworkReply::OperationCanceledError), true);
    case Cause::FileUnreadable:
        return fail(" >> Cannot read input file. ", int(QNetworkReply::OperationCanceledError), false);
    case Cause::ReplyTooLarge:
        return fail(" >> Reply too large: more than " + QByteArray::number(ReplyBody::maximumSize) + " Byte ",
                    int(QNetworkReply::OperationCanceledError), false);
    case Cause::None:
        break;
    }
    // Some proxies refuse credentials with 401 (tinyproxy): to a tunnel, where
    // it can only be the proxy's, or to a request, where only the proxy can
    // tell, asked by a CONNECT of the program's own. The same proxy answers
    // before it reads the body and closes, and the reset may come before its
    // answer is read: a connection closed without one is asked about too.
    const long connectCode = request.connectCode();
    if (connectCode == 407 || connectCode == 401 || (request.throughPlainProxy() && outcome.httpStatus == 407))
        return fail(proxyRefused, int(QNetworkReply::ProxyAuthenticationRequiredError), false);
    const bool unanswered = outcome.httpStatus == 0 && (code == CURLE_SEND_ERROR || code == CURLE_RECV_ERROR || code == CURLE_GOT_NOTHING);
    if (request.throughPlainProxy() && !probe && ((outcome.httpStatus == 401 && !settings.upload.proxyUser.isEmpty()) || unanswered))
        return askProxy(code);
    if (code == CURLE_PARTIAL_FILE && outcome.httpStatus > 0)
        return fail(" >> Reply cut short: " + QByteArray::number(reply.receivedSize()) + " of " + QByteArray::number(reply.declaredLength())
                        + " Byte ",
                    int(QNetworkReply::RemoteHostClosedError), true);
    if (code != CURLE_OK)
        return fail(CurlError::fromCode(code, request.throughProxy(), outcome.httpStatus));
    // The script engine takes about 60 bytes of memory per byte of JSON.
    if (!outcome.reply.isNull() && outcome.reply.size() <= ReplyReader::maximumParsedSize) {
        outcome.statusCodeShown = true;
        outcome.statusCode = ReplyReader::statusCode(outcome.reply);
    }
    if (outcome.httpStatus >= 400)
        return fail(CurlError::fromStatus(outcome.httpStatus));
    // Only a 2xx status says the server took the chunk: an unfollowed redirect does not.
    if (outcome.httpStatus < 200 || outcome.httpStatus > 299)
        return fail(" >> Unexpected HTTP status: " + QByteArray::number(outcome.httpStatus) + ' ', 0,
                    RetryPolicy::isTransient(outcome.httpStatus, QNetworkReply::NoError));
    outcome.exitStatus = ExitStatus::Success;
    finishAttempt(false);
}

void CurlTransfer::askProxy(CURLcode code)
{
    const QUrl url(QString::fromUtf8(request.address()));
    QByteArray host = QUrl::toAce(url.host());
    if (host.contains(':'))
        host = '[' + host + ']';
    state = State::AskingProxy;
    probe = new ProxyProbe(QNetworkProxy(QNetworkProxy::HttpProxy, QString::fromUtf8(settings.upload.proxyHost), settings.upload.proxyPort),
                           host + ':' + QByteArray::number(url.port(80)), settings.upload.proxyUser, settings.upload.proxyPassword, this);
    connect(probe, &ProxyProbe::finished, this, [this, code](bool refused) {
        probe->deleteLater();
        state = State::Idle;
        if (refused)
            fail(proxyRefused, int(QNetworkReply::ProxyAuthenticationRequiredError), false);
        else
            endAttempt(code);
        probe = nullptr;
    });
    probe->start();
}

void CurlTransfer::fail(const QByteArray &line, int error, bool transient)
{
    outcome.error = error;
    if (outcome.failure.isEmpty())
        outcome.failure = line;
    outcome.exitStatus = transient ? ExitStatus::TemporaryFailure : ExitStatus::Failure;
    finishAttempt(transient);
}

void CurlTransfer::fail(const CurlError &error)
{
    fail(error.line(), error.number, error.transient);
}

// Ends the chunk, or waits and posts again when the failure may pass.
void CurlTransfer::finishAttempt(bool transient)
{
    if (transient && !ending) {
        const QByteArray retryAfter = outcome.httpStatus > 0 ? CurlReply::headerValue(outcome.headers, "Retry-After") : QByteArray();
        const int wait = RetryPolicy::waitSeconds(outcome.attempts - 1, retryAfter, QDateTime::currentDateTimeUtc());
        if (outcome.attempts <= settings.upload.retries && (retryDeadline.isForever() || retryDeadline.remainingTime() >= wait * qint64(1000))) {
            state = State::WaitingToRetry;
            emit retryScheduled(wait);
            retryWait.start(wait * 1000);
            return;
        }
    }
    emit finished(outcome);
}

// Between attempts the chunk ends at once; during one, the attempt is given up.
void CurlTransfer::giveUp(const QByteArray &line)
{
    if (state == State::AskingProxy) {
        delete probe;
        probe = nullptr;
        state = State::Idle;
        outcome.failure = line;
        return fail(line, int(QNetworkReply::OperationCanceledError), true);
    }
    if (state == State::WaitingToRetry) {
        retryWait.stop();
        state = State::Idle;
        outcome.failure = line;
        outcome.exitStatus = ExitStatus::TemporaryFailure;
        emit finished(outcome);
        return;
    }
    if (state != State::Posting)
        return;
    multi->remove(request.handle());
    cause = Cause::GivenUp;
    outcome.failure = line;
    endAttempt(CURLE_ABORTED_BY_CALLBACK);
}

void CurlTransfer::checkIdle()
{
    if (exchange.idleMilliseconds() >= settings.upload.idleTimeout * qint64(1000))
        giveUp(" >> Timed out: no data moved for " + QByteArray::number(settings.upload.idleTimeout) + " seconds ");
}

// Its own meta-object code here, not in the library's shared moc unit, so that uploader links no libcurl.
#include "moc_curltransfer.cpp"
