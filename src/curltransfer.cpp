#include "curltransfer.h"

#include "attemptrule.h"
#include "curlerror.h"
#include "curlmulti.h"
#include "proxyprobe.h"
#include "rangedevice.h"
#include "replybudget.h"
#include "requestheaders.h"

#include <QDateTime>
#include <QNetworkProxy>
#include <QUrl>

CurlTransfer::CurlTransfer(CurlMulti *multi, const Settings &settings, QObject *parent)
    : QObject(parent)
    , multi(multi)
    , settings(settings)
    , request(settings)
    , exchange(request.handle(), settings.limiter, settings.replyBudget)
{
    // A coarse timer may fire 5 % early: a Retry-After of 3 seconds waited 2.85.
    retryWait.setSingleShot(true);
    retryWait.setTimerType(Qt::PreciseTimer);
    connect(&retryWait, &QTimer::timeout, this, &CurlTransfer::post);
    connect(&idleCheck, &QTimer::timeout, this, &CurlTransfer::checkIdle);
    connect(&exchange, &CurlExchange::progress, this, &CurlTransfer::uploadProgress);
    connect(&exchange, &CurlExchange::readFailed, this, [this] { cause = Cause::FileUnreadable; });
    connect(&exchange, &CurlExchange::replyTooLarge, this, [this] { cause = Cause::ReplyTooLarge; });
    connect(&exchange, &CurlExchange::replyOverBudget, this, [this] { cause = Cause::OverBudget; });
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

CURL *CurlTransfer::handle() const
{
    return request.handle();
}

QByteArray CurlTransfer::problem() const
{
    return request.problem().isEmpty() ? exchange.problem() : request.problem();
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
    // What an earlier pass left is let go with its share of the budget.
    outcome.reply = QByteArray();
    exchange.restart();
    state = State::Posting;
    ++attemptSerial;
    emit attemptStarted();
    elapsed.start();
    if (settings.upload.idleTimeout > 0)
        idleCheck.start(1000);
    // An option libcurl refused would leave the request without it (a client certificate, say): it is not sent.
    const QByteArray refused = problem();
    if (!refused.isEmpty())
        return failToStart(" >> Cannot set up libcurl: " + refused + ' ', false);
    // A transfer libcurl did not take would never end. It may take it later
    // (out of memory, or asked from within one of its callbacks): 75.
    const CURLMcode added = multi->add(request.handle(), this);
    if (added != CURLM_OK)
        failToStart(" >> Cannot start the transfer: " + QByteArray(curl_multi_strerror(added)) + ' ', true);
}

// From the event loop: a chunk that ended within start() would start the next one within it, and so on.
void CurlTransfer::failToStart(const QByteArray &line, bool transient)
{
    cause = Cause::NotStarted;
    startFailure = line;
    startFailureTransient = transient;
    const quint64 serial = attemptSerial;
    QMetaObject::invokeMethod(
        this,
        [this, serial] {
            if (state == State::Posting && attemptSerial == serial && cause == Cause::NotStarted)
                endAttempt(CURLE_FAILED_INIT);
        },
        Qt::QueuedConnection);
}

// Every byte of the chunk went to the connection: libcurl stops sending once
// an answer is complete on a connection the server closes (an early answer),
// and reports the transfer as done.
bool CurlTransfer::sentWhole() const
{
    const qint64 size = exchange.body()->size();
    return exchange.passSize() >= size && request.uploadedSize() >= size;
}

QByteArray CurlTransfer::overBudgetLine() const
{
    return " >> Reply too large beside the others in flight: replies may hold " + QByteArray::number(settings.replyBudget->size())
           + " Byte together ";
}

void CurlTransfer::transferFinished(CURLcode code)
{
    if (state == State::Posting)
        endAttempt(code);
}

void CurlTransfer::endAttempt(CURLcode code)
{
    state = State::Idle;
    idleCheck.stop();
    exchange.stop();
    request.endAttempt();
    CurlReply &reply = exchange.reply();
    outcome.elapsedMilliseconds = elapsed.elapsed();
    outcome.httpStatus = reply.httpStatus();
    outcome.reason = outcome.httpStatus > 0 ? reply.reason() : QByteArray();
    outcome.headers = reply.headers();
    // Kept on an error too: an error status often says why in its body.
    outcome.reply = reply.takeBody();
    // Only what is kept stays charged: the body as it came goes once inflated.
    exchange.keepCharged(outcome.reply.size());
    // A proxy that refused Basic and asks for another scheme is answered in it,
    // within the attempt; the scheme stays for the chunks that follow.
    if (cause == Cause::None && request.answerProxyScheme(outcome.httpStatus))
        return send();
    request.answered(outcome.httpStatus);
    switch (cause) {
    case Cause::GivenUp:
        return fail(outcome.failure, FailureKind::OperationCanceledError, Passing::Always);
    case Cause::FileUnreadable:
        return fail(AttemptRule::fileUnreadableLine(), FailureKind::OperationCanceledError, Passing::Never);
    case Cause::ReplyTooLarge:
        return fail(AttemptRule::tooLargeLine(), FailureKind::OperationCanceledError, Passing::Never);
    // The others' replies may be gone by the next attempt.
    case Cause::OverBudget:
        return fail(overBudgetLine(), FailureKind::OperationCanceledError, Passing::Always);
    case Cause::NotStarted:
        return fail(startFailure, FailureKind::UnknownNetworkError, startFailureTransient ? Passing::Always : Passing::Never);
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
        return fail(AttemptRule::proxyRefusedLine(), FailureKind::ProxyAuthenticationRequiredError, Passing::Never);
    const bool unanswered = outcome.httpStatus == 0 && (code == CURLE_SEND_ERROR || code == CURLE_RECV_ERROR || code == CURLE_GOT_NOTHING);
    if (request.throughPlainProxy() && ((outcome.httpStatus == 401 && !settings.upload.proxyUser.isEmpty()) || unanswered))
        return askProxy(code);
    judge(code);
}

// What libcurl and the answer say of an attempt that the proxy did not refuse.
void CurlTransfer::judge(CURLcode code)
{
    const CurlReply &reply = exchange.reply();
    if (code == CURLE_PARTIAL_FILE && outcome.httpStatus > 0)
        return fail(AttemptRule::cutShortLine(reply.receivedSize(), reply.declaredLength()), FailureKind::RemoteHostClosedError,
                    Passing::Always);
    if (code != CURLE_OK) {
        // The console names the failure by its number; the result adds libcurl's words (which authority, which file).
        outcome.detail = request.errorText();
        return fail(CurlError::fromCode(code, request.throughProxy(), outcome.httpStatus, outcome.detail));
    }
    // The script engine takes about 60 bytes of memory per byte of JSON, for a
    // while: beside replies that hold the budget, the status_code is not read.
    const qint64 parseCost = qint64(outcome.reply.size()) * ReplyBudget::parseCostPerByte;
    if (AttemptRule::parsesStatusCode(outcome.reply) && exchange.borrow(parseCost)) {
        AttemptRule::readStatusCode(outcome);
        exchange.giveBack(parseCost);
    }
    // A 2xx to part of the chunk does not say that the server has it: as
    // uploader reports a connection closed under its body, 2 and 75.
    if (outcome.httpStatus >= 200 && outcome.httpStatus <= 299 && !sentWhole()) {
        outcome.detail = "answered before the whole chunk was sent: " + QByteArray::number(qMin(exchange.passSize(), request.uploadedSize()))
                         + " of " + QByteArray::number(exchange.body()->size()) + " Byte";
        return fail(AttemptRule::errorLine(FailureKind::RemoteHostClosedError), FailureKind::RemoteHostClosedError, Passing::Always);
    }
    if (outcome.httpStatus >= 400)
        return fail(CurlError::fromStatus(outcome.httpStatus));
    // Only a 2xx status says the server took the chunk: an unfollowed redirect does not.
    if (outcome.httpStatus < 200 || outcome.httpStatus > 299)
        return fail(AttemptRule::unexpectedStatusLine(outcome.httpStatus), FailureKind::None, Passing::ByKind);
    outcome.exitStatus = ExitStatus::Success;
    emitFinished();
}

void CurlTransfer::askProxy(CURLcode code)
{
    state = State::AskingProxy;
    const QByteArray target = RequestHeaders::proxyTarget(QUrl(QString::fromUtf8(request.address())));
    probe = new ProxyProbe(QNetworkProxy(QNetworkProxy::HttpProxy, QString::fromUtf8(settings.upload.proxyHost), settings.upload.proxyPort),
                           target, settings.upload.proxyUser, settings.upload.proxyPassword, this);
    // Let go before the end is reported: a next chunk started from finished() may need a probe of its own.
    connect(probe, &ProxyProbe::finished, this, [this, code](bool refused) {
        probe->deleteLater();
        probe = nullptr;
        state = State::Idle;
        if (refused)
            fail(AttemptRule::proxyRefusedLine(), FailureKind::ProxyAuthenticationRequiredError, Passing::Never);
        else
            judge(code);
    });
    probe->start();
}

void CurlTransfer::fail(const QByteArray &line, FailureKind kind, Passing passing)
{
    outcome.error = int(kind);
    if (outcome.failure.isEmpty())
        outcome.failure = line;
    AttemptRule::Ending attempt;
    attempt.kind = kind;
    attempt.passing = passing;
    attempt.httpStatus = outcome.httpStatus;
    attempt.retryAfter = outcome.httpStatus > 0 ? CurlReply::headerValue(outcome.headers, "Retry-After") : QByteArray();
    attempt.attempts = outcome.attempts;
    attempt.retries = settings.upload.retries;
    attempt.retryDeadline = retryDeadline;
    attempt.stopping = ending;
    const AttemptRule::Decision decision = AttemptRule::decide(attempt, QDateTime::currentDateTimeUtc());
    outcome.exitStatus = decision.exitStatus;
    if (!decision.retries())
        return emitFinished();
    state = State::WaitingToRetry;
    emit retryScheduled(decision.wait);
    // The next attempt's reply takes its place: its share of the budget goes to the chunks in flight meanwhile.
    outcome.reply = QByteArray();
    exchange.release();
    retryWait.start(decision.wait * 1000);
}

void CurlTransfer::fail(const CurlError &error)
{
    fail(error.line(), error.kind, Passing::ByKind);
}

// The reply is let go, with its share of the budget, once its chunk's end is
// handled, unless a new chunk has started meanwhile.
void CurlTransfer::emitFinished()
{
    const quint64 serial = attemptSerial;
    emit finished(outcome);
    if (attemptSerial == serial && state != State::Posting) {
        outcome.reply = QByteArray();
        exchange.release();
    }
}

// Between attempts the chunk ends at once; during one, the attempt is given up.
void CurlTransfer::giveUp(const QByteArray &line)
{
    if (state == State::AskingProxy) {
        delete probe;
        probe = nullptr;
        state = State::Idle;
        outcome.failure = line;
        return fail(line, FailureKind::OperationCanceledError, Passing::Always);
    }
    if (state == State::WaitingToRetry) {
        retryWait.stop();
        state = State::Idle;
        outcome.failure = line;
        outcome.exitStatus = ExitStatus::TemporaryFailure;
        emitFinished();
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
        giveUp(AttemptRule::idleLine(settings.upload.idleTimeout));
}
