#include "uploadjob.h"

#include "attemptrule.h"
#include "proxydigest.h"
#include "proxyprobe.h"
#include "rangedevice.h"
#include "uploadrequest.h"
#include "watchdog.h"

#include <QDateTime>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSslError>
#include <QTimer>

namespace {

// Qt's errors are the program's failure kinds by number, so the console prints the same: checked one by one.
#define SAME(name) static_assert(int(FailureKind::name) == int(QNetworkReply::name), #name)
SAME(ConnectionRefusedError); SAME(RemoteHostClosedError); SAME(HostNotFoundError); SAME(TimeoutError);
SAME(OperationCanceledError); SAME(SslHandshakeFailedError); SAME(TemporaryNetworkFailureError); SAME(NetworkSessionFailedError);
SAME(BackgroundRequestNotAllowedError); SAME(TooManyRedirectsError); SAME(InsecureRedirectError); SAME(UnknownNetworkError);
SAME(ProxyConnectionRefusedError); SAME(ProxyConnectionClosedError); SAME(ProxyNotFoundError); SAME(ProxyTimeoutError);
SAME(ProxyAuthenticationRequiredError); SAME(UnknownProxyError); SAME(ContentAccessDenied);
SAME(ContentOperationNotPermittedError); SAME(ContentNotFoundError); SAME(AuthenticationRequiredError); SAME(ContentReSendError);
SAME(ContentConflictError); SAME(ContentGoneError); SAME(UnknownContentError); SAME(ProtocolUnknownError);
SAME(ProtocolInvalidOperationError); SAME(ProtocolFailure); SAME(InternalServerError); SAME(OperationNotImplementedError);
SAME(ServiceUnavailableError); SAME(UnknownServerError);
#undef SAME

FailureKind failureKind(QNetworkReply::NetworkError error)
{
    return FailureKind(int(error));
}

} // namespace

UploadJob::UploadJob(QNetworkAccessManager *manager, QObject *parent)
    : QObject(parent)
    , manager(manager)
    , proxyAuthentication(manager)
{
    // A coarse timer may fire 5 % early: a Retry-After of 3 seconds waited 2.85.
    retryWait.setSingleShot(true);
    retryWait.setTimerType(Qt::PreciseTimer);
    connect(&retryWait, &QTimer::timeout, this, &UploadJob::post);
    connect(&runTime, &LongTimer::expired, this,
            [this] { giveUp(AttemptRule::runTooLongLine(maxTime)); });
    connect(&reader, &ReplyReader::idle, this, [this] {
        stopAttempt(Cause::GivenUp, AttemptRule::idleLine(idleTimeout));
    });
    connect(&reader, &ReplyReader::tooLarge, this, [this] { stopAttempt(Cause::ReplyTooLarge, AttemptRule::tooLargeLine()); });
    connect(&reader, &ReplyReader::unusable, this, [this](const QByteArray &line) {
        headRefused = true;
        stopAttempt(Cause::GivenUp, line);
    });
    connect(&reader, &ReplyReader::finished, this, &UploadJob::replyFinished);
    connect(&proxyAuthentication, &ProxyAuthentication::refused, this, [this] {
        // The cause of a closed connection noticed before it.
        const QByteArray line = AttemptRule::proxyRefusedLine();
        outcome.failure = line;
        emit failureNoticed(line);
    });
}

UploadJob::~UploadJob()
{
    delete reply;
}

void UploadJob::setRequest(const QUrl &url, const QByteArray &apiToken, qint64 bodySize, const QSslConfiguration *tls)
{
    request = UploadRequest::build(url, apiToken, bodySize, tls);
    // Only https uses TLS: loading the TLS library for http would cost memory and start-up time.
    secure = url.scheme() == QLatin1String("https");
    outcome.bytes = bodySize;
}

void UploadJob::start(RangeDevice *device)
{
    body = device;
    body->setParent(this);
    const bool proxyAsked = proxyAuthentication.sendAhead(&request);
    connect(body, &RangeDevice::readFailed, this, [this] {
        setCause(Cause::FileUnreadable);
        noteFailure(AttemptRule::fileUnreadableLine());
    });
    // The console says what it always said of a closed connection; the result says why.
    connect(body, &RangeDevice::resendRefused, this, [this] { setCause(Cause::ResendRefused); });
    if (maxTime > 0)
        runTime.start(maxTime * qint64(1000));
    if (!proxyAsked)
        return post();
    setState(State::ProbingProxy);
    digest = proxyAuthentication.createDigest(request.url(), this);
    connect(digest, &ProxyDigest::finished, this, [this](bool refused) {
        if (!refused)
            return post();
        // Refused before anything was posted: the status Qt gives a refusal.
        proxyAuthentication.refuse();
        outcome.httpStatus = 407;
        outcome.error = int(FailureKind::ProxyAuthenticationRequiredError);
        noteFailure(AttemptRule::errorLine(FailureKind::ProxyAuthenticationRequiredError));
        finish(ExitStatus::Failure);
    });
    digest->start();
}

quint32 UploadJob::checksum() const
{
    return body->checksum();
}

// The only place the state changes; a finished job stays finished.
void UploadJob::setState(State next)
{
    Q_ASSERT(state != State::Finished);
    state = next;
}

// Every attempt sends the range from its start, with the same headers.
void UploadJob::post()
{
    setState(State::Posting);
    outcome.startAttempt();
    emit attemptStarted();
    if (watchdog)
        watchdog->startAttempt(outcome);
    elapsed.start();
    send(false);
}

// A proxy that asks for another scheme gets its answer on a connection of
// its own: squid leaves unread the rest of a body it refused, over 64 KiB,
// and with it the request Qt would send again on that connection.
void UploadJob::send(bool answeringProxy)
{
    delete reply;
    cause = Cause::None;
    headRefused = false;
    body->rewind();
    resentToProxy = answeringProxy;
    const QByteArray digestAnswer = digest ? digest->authorization("POST", ProxyDigest::requestTarget(request.url())) : QByteArray();
    if (!digestAnswer.isEmpty())
        request.setRawHeader("Proxy-Authorization", digestAnswer);
    reply = manager->post(request, body);
    if (secure)
        reply->ignoreSslErrors(QList<QSslError>() << QSslError(QSslError::UnableToDecryptCertificateSignature));
    connect(reply, &QNetworkReply::uploadProgress, this, &UploadJob::uploadProgress);
    reader.read(reply);
    proxyAuthentication.setReply(reply, answeringProxy);
    if (watchdog) {
        connect(reply, &QNetworkReply::uploadProgress, this, [this](qint64 sent) {
            watchdog->moved();
            watchdog->sent(sent);
        });
        connect(reply, &QNetworkReply::downloadProgress, this, [this] { watchdog->moved(); });
        connect(reply, &QNetworkReply::metaDataChanged, this, [this] { watchdog->moved(); });
    }
}

// Ends the attempt in flight; its reply's end decides what follows.
void UploadJob::stopAttempt(Cause why, const QByteArray &line)
{
    setCause(why);
    noteFailure(line);
    reply->abort();
}

// Between attempts the job ends at once; during one, the attempt is given up.
void UploadJob::giveUp(const QByteArray &line)
{
    switch (state) {
    case State::WaitingToRetry:
        retryWait.stop();
        outcome.failure = line;
        emit failureNoticed(line);
        finish(ExitStatus::TemporaryFailure);
        break;
    case State::ProbingProxy:
        // The proxy's answer about the failed attempt can no longer matter.
        delete probe;
        probe = nullptr;
        if (!reply) {
            // Asked before the first post: nothing was sent.
            delete digest;
            digest = nullptr;
            noteFailure(line);
            finish(ExitStatus::TemporaryFailure);
            break;
        }
        setCause(Cause::Stopped);
        noteFailure(line);
        failReply();
        break;
    case State::Posting:
        if (!reply->isFinished())
            stopAttempt(Cause::Stopped, line);
        break;
    case State::Idle:
    case State::Finished:
        break;
    }
}

void UploadJob::replyFinished(const QByteArray &bytes, qint64 receivedSize)
{
    // The answer is in: from here on, waiting (for a slow reader of the
    // console, say) is not silence.
    if (watchdog)
        watchdog->pause();
    outcome.elapsedMilliseconds = elapsed.elapsed();
    outcome.error = int(failureKind(reply->error()));
    outcome.httpStatus = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    // A head refused for its size is neither printed nor kept.
    if (!headRefused) {
        outcome.reason = reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toByteArray();
        outcome.headers = reply->rawHeaderPairs();
    }
    // Kept on an error too: an error status often says why in its body.
    outcome.reply = bytes;
    if (reply->error() != QNetworkReply::NoError || cause == Cause::ReplyTooLarge) {
        // Qt answered the proxy on the connection whose body it refused;
        // the channel keeps the answer for the next request.
        if (cause == Cause::ResendRefused && !resentToProxy && proxyAuthentication.isAnswered())
            return send(true);
        // Qt reports the body it could not read again as an unknown error.
        // The console says what it always said of a closed connection; the result says why.
        if (cause == Cause::ResendRefused) {
            outcome.error = int(FailureKind::RemoteHostClosedError);
            if (outcome.failure.isEmpty())
                outcome.failure = " >> Connection closed before an answer: the chunk is not sent again within the attempt ";
        }
        // Qt may give up on refused credentials without asking again.
        if (proxyAuthentication.answerRefused())
            proxyAuthentication.refuse();
        else if (cause < Cause::FileUnreadable && proxyAuthentication.mayHaveRefused(outcome.httpStatus))
            return askProxy();
        return failReply();
    }
    // Qt sometimes takes a reply closed before its declared length as complete.
    const QVariant declared = reply->header(QNetworkRequest::ContentLengthHeader);
    if (declared.isValid() && declared.toLongLong() != receivedSize) {
        setCause(Cause::GivenUp);
        noteFailure(AttemptRule::cutShortLine(receivedSize, declared.toLongLong()));
        return endFailedAttempt();
    }
    AttemptRule::readStatusCode(outcome);
    emit replyReceived();
    // Only a 2xx status says the server took the chunk: an interim answer or
    // an unfollowed redirect does not.
    if (outcome.httpStatus < 200 || outcome.httpStatus > 299) {
        noteFailure(AttemptRule::unexpectedStatusLine(outcome.httpStatus));
        return endFailedAttempt();
    }
    finish(ExitStatus::Success);
}

void UploadJob::failReply()
{
    noteFailure(AttemptRule::errorLine(FailureKind(outcome.error)));
    reply->abort();
    endFailedAttempt();
}

// Whether the proxy refuses the credentials, or wants some and has none,
// decides if another attempt can help.
void UploadJob::askProxy()
{
    setState(State::ProbingProxy);
    probe = proxyAuthentication.createProbe(request.url(), this);
    connect(probe, &ProxyProbe::finished, this, [this](bool refused) {
        probe->deleteLater();
        probe = nullptr;
        if (refused)
            proxyAuthentication.refuse();
        failReply();
    });
    probe->start();
}

// Waits and posts again when the failure may pass; else the job ends.
void UploadJob::endFailedAttempt()
{
    AttemptRule::Ending ending;
    ending.kind = failureKind(reply->error());
    if (cause >= Cause::GivenUp)
        ending.passing = AttemptRule::Passing::Always;
    else if (cause == Cause::FileUnreadable || proxyAuthentication.isRefused())
        ending.passing = AttemptRule::Passing::Never;
    ending.httpStatus = outcome.httpStatus;
    ending.retryAfter = outcome.httpStatus > 0 ? reply->rawHeader("Retry-After") : QByteArray();
    ending.attempts = outcome.attempts;
    ending.retries = retryCount;
    ending.retryDeadline = retryDeadline;
    ending.runDeadline = QDeadlineTimer(runTime.remainingTime());
    ending.stopping = cause == Cause::Stopped;
    const AttemptRule::Decision decision = AttemptRule::decide(ending, QDateTime::currentDateTimeUtc());
    if (!decision.retries())
        return finish(decision.exitStatus);
    outcome.exitStatus = decision.exitStatus;
    setState(State::WaitingToRetry);
    emit retryScheduled(decision.wait);
    retryWait.start(decision.wait * 1000);
}

// The one place the job ends.
void UploadJob::finish(ExitStatus status)
{
    setState(State::Finished);
    outcome.exitStatus = status;
    runTime.stop();
    emit finished(outcome);
}

void UploadJob::noteFailure(const QByteArray &line)
{
    if (outcome.failure.isEmpty())
        outcome.failure = line;
    emit failureNoticed(line);
}
