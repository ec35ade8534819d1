#include "uploadjob.h"

#include "jsonscript.h"
#include "proxyprobe.h"
#include "rangedevice.h"
#include "retrypolicy.h"
#include "watchdog.h"

#include <QAuthenticator>
#include <QDateTime>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QSslConfiguration>
#include <QSslError>
#include <QTimer>
#include <QUrl>

#include <cmath>
#include <limits>

const qint64 UploadJob::maximumReplySize = ReplyBody::maximumSize;
const int UploadJob::maximumParsedSize = 1 << 20;
const qint64 UploadJob::readBufferSize = 1 << 20;

UploadJob::UploadJob(QNetworkAccessManager *manager, QObject *parent)
    : QObject(parent)
    , manager(manager)
{
    // A coarse timer may fire 5 % early: a Retry-After of 3 seconds waited 2.85.
    retryWait.setSingleShot(true);
    retryWait.setTimerType(Qt::PreciseTimer);
    connect(&retryWait, &QTimer::timeout, this, [this] {
        delete reply;
        reply = nullptr;
        post();
    });
    connect(&runTime, &LongTimer::expired, this, &UploadJob::runOutOfTime);
}

UploadJob::~UploadJob()
{
    delete reply;
}

void UploadJob::setRequest(const QUrl &url, const QByteArray &apiToken, qint64 bodySize)
{
    // Credentials go with the first request, as curl sends them. Left in the
    // address, Qt would send the body again on the server's 401, which the
    // one-send guard refuses; without them Qt's own authentication has
    // nothing to answer with, and a 401 is final.
    QUrl address = url;
    const QString user = url.userName(QUrl::FullyEncoded);
    const QString password = url.password(QUrl::FullyEncoded);
    address.setUserInfo(QString());
    request.setUrl(address);
    // Only https uses TLS: loading the TLS library for http would cost memory and start-up time.
    secure = url.scheme() == QLatin1String("https");
    if (secure) {
        // TLS 1.0 is refused by the platform's TLS library; verification stays on.
        QSslConfiguration sslConfiguration = QSslConfiguration::defaultConfiguration();
        sslConfiguration.setProtocol(QSsl::TlsV1_2OrLater);
        request.setSslConfiguration(sslConfiguration);
    }
    outcome.bytes = bodySize;
    request.setRawHeader("X_ZORV_API_TOKEN", apiToken);
    request.setRawHeader("X_ZORV_LOCAL_TS_OFFSET", localTimeZoneOffset().toLatin1());
    request.setRawHeader("USER-AGENT", "tovanel/5.0.0");
    // Set here, Qt hands the reply over as it came and the job inflates it
    // within its cap; left to Qt, a small reply could inflate to gigabytes.
    request.setRawHeader("Accept-Encoding", "gzip,deflate");
    request.setRawHeader("Content-Type", "application/octet-stream");
    request.setRawHeader("Content-Length", QByteArray::number(bodySize));
    request.setRawHeader("Connection", "Keep-Alive");
    request.setRawHeader("Keep-Alive", "timeout=20000");
    if (!user.isEmpty() || !password.isEmpty()) {
        const QByteArray credentials = QByteArray::fromPercentEncoding(user.toLatin1()) + ':'
                                       + QByteArray::fromPercentEncoding(password.toLatin1());
        request.setRawHeader("Authorization", "Basic " + credentials.toBase64());
    }
    // Without it Qt thins the progress signals and most ten-percent steps never show.
    request.setAttribute(QNetworkRequest::EmitAllUploadProgressSignalsAttribute, true);
    // Qt 6 would follow a redirect, re-posting the chunk and the token or
    // turning the POST into a GET, and would offer HTTP/2, whose flow-control
    // window stalls a large body; Qt 5's defaults, said out loud.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
}

void UploadJob::setIdleTimeout(int seconds)
{
    idleTimeout = seconds;
}

void UploadJob::setRetries(int count)
{
    retryCount = count;
}

void UploadJob::setMaxTime(int seconds)
{
    maxTime = seconds;
}

void UploadJob::setRetryDeadline(const QDeadlineTimer &deadline)
{
    retryDeadline = deadline;
}

int UploadJob::retries() const
{
    return retryCount;
}

void UploadJob::setProxyCredentials(const QByteArray &user, const QByteArray &password)
{
    proxyUser = user;
    proxyPassword = password;
}

void UploadJob::setWatchdog(Watchdog *dog)
{
    watchdog = dog;
}

void UploadJob::start(RangeDevice *device)
{
    body = device;
    body->setParent(this);
    if (!secure && manager->proxy().type() == QNetworkProxy::HttpProxy && !proxyUser.isEmpty()) {
        // A proxy that wants credentials answers 407 before it reads the body
        // and closes, and Qt then takes the reset for a lost connection and
        // never answers the 407. Sent with the request, Basic credentials
        // avoid the 407; the request crosses the proxy in the clear anyway.
        request.setRawHeader("Proxy-Authorization", "Basic " + (proxyUser + ':' + proxyPassword).toBase64());
        // A proxy that asks for another scheme has the body sent once more,
        // with its answer; it never reached the server.
        body->setPassesPerAttempt(2);
    }
    // Asked a second time, the credentials were refused: the authenticator
    // stays empty, the request fails, and sending again would fail the same way.
    connect(manager, &QNetworkAccessManager::proxyAuthenticationRequired, this,
            [this](const QNetworkProxy &, QAuthenticator *authenticator) {
                if (!reply || reply->isFinished() || proxyRefused)
                    return;
                if (!proxyAnswered && !proxyUser.isEmpty()) {
                    proxyAnswered = true;
                    authenticator->setUser(QString::fromUtf8(proxyUser));
                    authenticator->setPassword(QString::fromUtf8(proxyPassword));
                    return;
                }
                refuseProxy();
            });
    connect(body, &RangeDevice::readFailed, this, [this] {
        fileFailed = true;
        noteFailure(" >> Cannot read input file. ");
    });
    // The console says what it always said of a closed connection; the result says why.
    connect(body, &RangeDevice::resendRefused, this, [this] {
        resendRefused = true;
        if (outcome.failure.isEmpty())
            outcome.failure = " >> Connection closed before an answer: the chunk is not sent again within the attempt ";
    });
    if (maxTime > 0) {
        runTime.start(maxTime * qint64(1000));
    }
    post();
}

const UploadResult &UploadJob::result() const
{
    return outcome;
}

quint32 UploadJob::checksum() const
{
    return body->checksum();
}

void UploadJob::abort(const QByteArray &line)
{
    giveUp(line);
}

// Every attempt sends the range from its start, with the same headers.
void UploadJob::post()
{
    outcome.startAttempt();
    failed = false;
    givenUp = false;
    proxyRefused = false;
    proxyAnswered = false;
    tunnelOpened = false;
    replyTooLarge = false;
    resendRefused = false;
    replyBody.start(QByteArray());
    body->rewind();

    emit attemptStarted();
    if (watchdog)
        watchdog->startAttempt(outcome);
    elapsed.start();
    sinceMoved.start();
    reply = manager->post(request, body);
    if (secure)
        reply->ignoreSslErrors(QList<QSslError>() << QSslError(QSslError::UnableToDecryptCertificateSignature));
    reply->setReadBufferSize(readBufferSize);
    connect(reply, &QNetworkReply::uploadProgress, this, &UploadJob::uploadProgress);
    connect(reply, &QNetworkReply::metaDataChanged, this, &UploadJob::startReply);
    connect(reply, &QNetworkReply::encrypted, this, [this] { tunnelOpened = true; });
    connect(reply, &QNetworkReply::readyRead, this, &UploadJob::readReply);
    // Qt's own transfer time-out posts an event to restart its timer for every
    // 16 KiB sent; a clock read per piece and a check each second cost less.
    const auto moved = [this] {
        sinceMoved.start();
        if (watchdog)
            watchdog->moved();
    };
    connect(reply, &QNetworkReply::uploadProgress, this, [this, moved](qint64 sent) {
        moved();
        if (watchdog)
            watchdog->sent(sent);
    });
    connect(reply, &QNetworkReply::downloadProgress, this, moved);
    connect(reply, &QNetworkReply::metaDataChanged, this, moved);
    if (idleTimeout > 0) {
        QTimer *idleCheck = new QTimer(reply);
        connect(idleCheck, &QTimer::timeout, this, &UploadJob::checkIdle);
        idleCheck->start(1000);
    }
    connect(reply, &QNetworkReply::finished, this, &UploadJob::replyFinished);
}

void UploadJob::checkIdle()
{
    if (reply->isFinished() || sinceMoved.elapsed() < idleTimeout * qint64(1000))
        return;
    givenUp = true;
    noteFailure(" >> Timed out: no data moved for " + QByteArray::number(idleTimeout) + " seconds ");
    reply->abort();
}

void UploadJob::runOutOfTime()
{
    giveUp(" >> Timed out: the run took over " + QByteArray::number(maxTime) + " seconds ");
}

// Between attempts the job ends at once; during one, the attempt is given up.
void UploadJob::giveUp(const QByteArray &line)
{
    ending = true;
    if (retryWait.isActive()) {
        retryWait.stop();
        outcome.failure = line;
        emit failureNoticed(line);
        emit finished(outcome);
        return;
    }
    // The proxy is being asked about the attempt that failed: its answer can no longer matter.
    if (probe) {
        delete probe;
        probe = nullptr;
        givenUp = true;
        noteFailure(line);
        failReply();
        return;
    }
    if (reply->isFinished())
        return;
    givenUp = true;
    noteFailure(line);
    reply->abort();
}

// A reply larger than any answer this program reads would only exhaust memory.
void UploadJob::startReply()
{
    // Qt hands the limit to its network thread only if the request already
    // runs there; said again now, its reading ahead stops at the limit.
    reply->setReadBufferSize(readBufferSize);
    const QVariant declared = reply->header(QNetworkRequest::ContentLengthHeader);
    if (declared.toLongLong() > maximumReplySize)
        rejectReply();
    else
        replyBody.start(reply->rawHeader("Content-Encoding"), declared.isValid() ? declared.toLongLong() : -1);
}

// Read as it comes, so that Qt holds no more of it than its read buffer.
void UploadJob::readReply()
{
    if (!replyTooLarge && reply->isOpen() && !replyBody.append(reply->readAll()))
        rejectReply();
}

void UploadJob::rejectReply()
{
    replyTooLarge = true;
    noteFailure(" >> Reply too large: more than " + QByteArray::number(maximumReplySize) + " Byte ");
    reply->abort();
}

void UploadJob::replyFinished()
{
    // The answer is in: from here on, waiting (for a slow reader of the
    // console, say) is not silence.
    if (watchdog)
        watchdog->pause();
    outcome.elapsedMilliseconds = elapsed.elapsed();
    outcome.error = int(reply->error());
    outcome.httpStatus = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    outcome.reason = reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toByteArray();
    outcome.headers = reply->rawHeaderPairs();
    readReply();
    // Kept on an error too: an error status often says why in its body.
    outcome.reply = replyBody.bytes();
    const qint64 received = replyBody.receivedSize();
    replyBody.start(QByteArray());
    if (reply->error() != QNetworkReply::NoError || replyTooLarge) {
        // Qt may give up on refused credentials without asking again.
        if (proxyAnswered && reply->error() == QNetworkReply::ProxyAuthenticationRequiredError)
            refuseProxy();
        else if (proxyMayHaveRefused()) {
            askProxy();
            return;
        }
        failReply();
        return;
    }
    // Qt sometimes takes a reply closed before its declared length as complete.
    const QVariant declared = reply->header(QNetworkRequest::ContentLengthHeader);
    if (declared.isValid() && declared.toLongLong() != received) {
        failed = true;
        givenUp = true;
        noteFailure(" >> Reply cut short: " + QByteArray::number(received) + " of " + declared.toByteArray() + " Byte ");
        finishAttempt();
        return;
    }
    // The script engine takes about 60 bytes of memory per byte of JSON.
    if (!outcome.reply.isNull() && outcome.reply.size() <= maximumParsedSize) {
        outcome.statusCodeShown = true;
        outcome.statusCode = statusCode(outcome.reply);
    }
    emit replyReceived();
    // Only a 2xx status says the server took the chunk: an interim answer or
    // an unfollowed redirect does not.
    if (outcome.httpStatus < 200 || outcome.httpStatus > 299) {
        failed = true;
        noteFailure(" >> Unexpected HTTP status: " + QByteArray::number(outcome.httpStatus) + ' ');
    }
    finishAttempt();
}

void UploadJob::failReply()
{
    // Qt reports the body it could not read again as an unknown error.
    if (resendRefused)
        outcome.error = int(QNetworkReply::RemoteHostClosedError);
    failed = true;
    noteFailure(" >> Reply Error #: " + QByteArray::number(outcome.error) + ' ');
    reply->abort();
    finishAttempt();
}

// A proxy that wants credentials may answer at once and close while the
// body is still being sent; Qt then loses its answer and reports the closed
// connection. Some proxies refuse credentials by 401, which Qt takes for the
// server's, or, in a tunnel, reports as an unknown error.
bool UploadJob::proxyMayHaveRefused() const
{
    if (manager->proxy().type() != QNetworkProxy::HttpProxy || proxyRefused || tunnelOpened || givenUp || fileFailed)
        return false;
    const QNetworkReply::NetworkError error = reply->error();
    return error == QNetworkReply::AuthenticationRequiredError
           || (outcome.httpStatus == 0
               && (error == QNetworkReply::RemoteHostClosedError || error == QNetworkReply::UnknownNetworkError
                   || error == QNetworkReply::ProxyConnectionClosedError));
}

// Whether the proxy refuses the credentials, or wants some and has none,
// decides if another attempt can help.
void UploadJob::askProxy()
{
    const QUrl url = request.url();
    QByteArray host = QUrl::toAce(url.host());
    if (host.contains(':'))
        host = '[' + host + ']';
    probe = new ProxyProbe(manager->proxy(), host + ':' + QByteArray::number(url.port(secure ? 443 : 80)), proxyUser, proxyPassword,
                           this);
    connect(probe, &ProxyProbe::finished, this, [this](bool refused) {
        probe->deleteLater();
        probe = nullptr;
        if (refused)
            refuseProxy();
        failReply();
    });
    probe->start();
}

// Ends the job, or waits and posts again when the failure may pass.
void UploadJob::finishAttempt()
{
    outcome.exitStatus = ExitStatus::Success;
    if (failed) {
        const bool transient = givenUp || (!fileFailed && !proxyRefused && RetryPolicy::isTransient(outcome.httpStatus, reply->error()));
        outcome.exitStatus = transient ? ExitStatus::TemporaryFailure : ExitStatus::Failure;
        const QByteArray retryAfter = outcome.httpStatus > 0 ? reply->rawHeader("Retry-After") : QByteArray();
        const int wait = RetryPolicy::waitSeconds(outcome.attempts - 1, retryAfter, QDateTime::currentDateTimeUtc());
        if (transient && !ending && outcome.attempts <= retryCount && (retryDeadline.isForever() || retryDeadline.remainingTime() >= wait * qint64(1000))) {
            emit retryScheduled(wait);
            retryWait.start(wait * 1000);
            return;
        }
    }
    runTime.stop();
    emit finished(outcome);
}

void UploadJob::refuseProxy()
{
    if (proxyRefused)
        return;
    proxyRefused = true;
    // The cause of a closed connection noticed before it.
    const QByteArray line = " >> Proxy authentication failed: check UPLOADER_PROXY_USER and UPLOADER_PROXY_PASSWORD ";
    outcome.failure = line;
    emit failureNoticed(line);
}

void UploadJob::noteFailure(const QByteArray &line)
{
    if (outcome.failure.isEmpty())
        outcome.failure = line;
    emit failureNoticed(line);
}

QString UploadJob::localTimeZoneOffset()
{
    // Truncates toward zero: UTC-3:30 is -3, never -4.
    const int hours = QDateTime::currentDateTime().offsetFromUtc() / 3600;
    return hours > 0 ? QStringLiteral("+%1").arg(hours) : QString::number(hours);
}

// The JSON text ends at the first zero byte; the reply's bytes are UTF-8.
int UploadJob::statusCode(const QByteArray &body)
{
    const int zero = body.indexOf('\0');
    const QString text = QString::fromUtf8(body.constData(), zero < 0 ? body.size() : zero);
    const QVariant value = JsonScript::instance().parse(text).value(QStringLiteral("status_code"));
    // A number that is not an int would print as another one: 4294967497 as 201, 201.9 as 202.
    if (value.userType() == QMetaType::Double) {
        const double number = value.toDouble();
        const bool integral = std::trunc(number) == number && number >= std::numeric_limits<int>::min()
                              && number <= std::numeric_limits<int>::max();
        return integral ? int(number) : 0;
    }
    return value.toInt();
}
