#include "curltransfer.h"

#include "curlmulti.h"
#include "proxyprobe.h"
#include "rangedevice.h"
#include "ratelimiter.h"
#include "retrypolicy.h"
#include "uploadjob.h"

#include <QDateTime>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QUrl>

namespace {

// Larger pieces than libcurl's 64 KiB halve the calls per byte; four in flight still hold only 2 MiB.
const long uploadBufferSize = 512 << 10;

QByteArray headerValue(const QList<QPair<QByteArray, QByteArray>> &headers, const QByteArray &name)
{
    for (const auto &header : headers)
        if (header.first.compare(name, Qt::CaseInsensitive) == 0)
            return header.second;
    return QByteArray();
}

} // namespace

CurlTransfer::CurlTransfer(CurlMulti *multi, const Settings &settings, QObject *parent)
    : QObject(parent)
    , multi(multi)
    , settings(settings)
    , easy(curl_easy_init())
{
    // A coarse timer may fire 5 % early: a Retry-After of 3 seconds waited 2.85.
    retryWait.setSingleShot(true);
    retryWait.setTimerType(Qt::PreciseTimer);
    connect(&retryWait, &QTimer::timeout, this, &CurlTransfer::post);
    connect(&idleCheck, &QTimer::timeout, this, &CurlTransfer::checkIdle);
    pace.setSingleShot(true);
    pace.setTimerType(Qt::PreciseTimer);
    connect(&pace, &QTimer::timeout, this, [this] { curl_easy_pause(easy, CURLPAUSE_CONT); });
    connect(multi, &CurlMulti::finished, this, &CurlTransfer::transferFinished);
    configure();
}

CurlTransfer::~CurlTransfer()
{
    if (state == State::Posting)
        multi->remove(easy);
    curl_easy_cleanup(easy);
    curl_slist_free_all(headerList);
}

void CurlTransfer::configure()
{
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_1_1));
    // The end of a body must not wait for the server's delayed acknowledgement.
    curl_easy_setopt(easy, CURLOPT_TCP_NODELAY, 1L);
    curl_easy_setopt(easy, CURLOPT_POST, 1L);
    curl_easy_setopt(easy, CURLOPT_UPLOAD_BUFFERSIZE, uploadBufferSize);
    curl_easy_setopt(easy, CURLOPT_READFUNCTION, &CurlTransfer::readBody);
    curl_easy_setopt(easy, CURLOPT_READDATA, this);
    curl_easy_setopt(easy, CURLOPT_SEEKFUNCTION, &CurlTransfer::seekBody);
    curl_easy_setopt(easy, CURLOPT_SEEKDATA, this);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &CurlTransfer::readHeader);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &CurlTransfer::readReply);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);
    // The proxy's own answer to CONNECT is not the server's reply.
    curl_easy_setopt(easy, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    curl_easy_setopt(easy, CURLOPT_SSLVERSION, long(CURL_SSLVERSION_TLSv1_2));
    if (!settings.authorityFile.isNull()) {
        curl_easy_setopt(easy, CURLOPT_CAINFO, settings.authorityFile.isEmpty() ? nullptr : settings.authorityFile.constData());
    }
    if (!settings.authorityFolders.isNull())
        curl_easy_setopt(easy, CURLOPT_CAPATH, settings.authorityFolders.isEmpty() ? nullptr : settings.authorityFolders.constData());
    if (!settings.clientCertificate.isEmpty()) {
        curl_blob certificate = { const_cast<char *>(settings.clientCertificate.constData()), size_t(settings.clientCertificate.size()),
                                  CURL_BLOB_COPY };
        curl_blob key = { const_cast<char *>(settings.clientKey.constData()), size_t(settings.clientKey.size()), CURL_BLOB_COPY };
        curl_easy_setopt(easy, CURLOPT_SSLCERT_BLOB, &certificate);
        curl_easy_setopt(easy, CURLOPT_SSLKEY_BLOB, &key);
    }
    // An empty proxy, not the environment's http_proxy: the same request wherever it runs.
    QByteArray proxy;
    if (throughProxy()) {
        const QByteArray host = settings.proxyHost.contains(':') ? '[' + settings.proxyHost + ']' : settings.proxyHost;
        proxy = "http://" + host + ':' + QByteArray::number(settings.proxyPort);
    }
    curl_easy_setopt(easy, CURLOPT_PROXY, proxy.constData());
    if (throughProxy() && !settings.proxyUser.isEmpty()) {
        curl_easy_setopt(easy, CURLOPT_PROXYUSERNAME, settings.proxyUser.constData());
        curl_easy_setopt(easy, CURLOPT_PROXYPASSWORD, settings.proxyPassword.constData());
    }
}

void CurlTransfer::start(const QByteArray &url, RangeDevice *device, const QDeadlineTimer &deadline)
{
    delete body;
    body = device;
    body->setParent(this);
    // libcurl sends a body again when a kept connection turns out closed, or a proxy asks for credentials first.
    body->setPassesPerAttempt(2);
    connect(body, &RangeDevice::readFailed, this, [this] { cause = Cause::FileUnreadable; });
    retryDeadline = deadline;
    ending = false;
    outcome = UploadResult();
    outcome.bytes = body->size();

    // Credentials go with the request, as uploader sends them: a 401 is final.
    QUrl parsed(QString::fromUtf8(url));
    const QByteArray user = QByteArray::fromPercentEncoding(parsed.userName(QUrl::FullyEncoded).toLatin1());
    const QByteArray password = QByteArray::fromPercentEncoding(parsed.password(QUrl::FullyEncoded).toLatin1());
    parsed.setUserInfo(QString());
    address = parsed.toEncoded();
    secure = parsed.scheme() == QLatin1String("https");

    // The headers uploader sends, in the order it sets them; an empty token goes as an empty header.
    curl_slist_free_all(headerList);
    headerList = nullptr;
    QList<QByteArray> lines;
    lines << (settings.apiToken.isEmpty() ? QByteArray("X_ZORV_API_TOKEN;") : "X_ZORV_API_TOKEN: " + settings.apiToken)
          << "X_ZORV_LOCAL_TS_OFFSET: " + UploadJob::localTimeZoneOffset().toLatin1() << "USER-AGENT: tovanel/5.0.0"
          << "Accept-Encoding: gzip,deflate" << "Content-Type: application/octet-stream"
          << "Content-Length: " + QByteArray::number(body->size()) << "Connection: Keep-Alive" << "Keep-Alive: timeout=20000";
    if (!user.isEmpty() || !password.isEmpty())
        lines << "Authorization: Basic " + (user + ':' + password).toBase64();
    lines << "Accept-Language: en,*" << "Accept:" << "Expect:";
    for (const QByteArray &line : qAsConst(lines))
        headerList = curl_slist_append(headerList, line.constData());
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headerList);
    curl_easy_setopt(easy, CURLOPT_URL, address.constData());
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(body->size()));
    // Over plain http, Basic goes with the request, unless the proxy asked for
    // another scheme before: a proxy that answers 407 and closes loses no body.
    // A tunnel is asked for in whichever scheme the proxy offers.
    curl_easy_setopt(easy, CURLOPT_PROXYAUTH, secure ? CURLAUTH_ANY : proxyScheme);
    post();
}

const UploadResult &CurlTransfer::result() const
{
    return outcome;
}

quint32 CurlTransfer::checksum() const
{
    return body ? body->checksum() : 0;
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
    // A proxy that refused a request before reading its body may not read the
    // next one on that connection (squid): none is kept until it takes one.
    curl_easy_setopt(easy, CURLOPT_FORBID_REUSE, long(throughProxy() && !secure && !proxyTookRequest));
    cause = Cause::None;
    reason.clear();
    declaredLength = -1;
    replyBody.start(QByteArray());
    body->rewind();
    sent = 0;
    state = State::Posting;
    emit attemptStarted();
    elapsed.start();
    sinceMoved.start();
    if (settings.idleTimeout > 0)
        idleCheck.start(1000);
    multi->add(easy);
}

size_t CurlTransfer::readBody(char *buffer, size_t size, size_t count, void *self)
{
    auto *transfer = static_cast<CurlTransfer *>(self);
    RangeDevice *body = transfer->body;
    qint64 wanted = qMin<qint64>(qint64(size * count), body->size() - body->pos());
    if (wanted > 0 && transfer->settings.limiter) {
        RateLimiter *limiter = transfer->settings.limiter;
        const qint64 granted = limiter->take(wanted);
        if (granted == 0) {
            transfer->pace.start(qMax(1, limiter->waitMilliseconds(wanted)));
            return CURL_READFUNC_PAUSE;
        }
        wanted = granted;
    }
    const qint64 read = wanted > 0 ? body->read(buffer, wanted) : 0;
    if (read < 0)
        return CURL_READFUNC_ABORT;
    transfer->sent += read;
    transfer->sinceMoved.start();
    emit transfer->uploadProgress(transfer->sent);
    return size_t(read);
}

int CurlTransfer::seekBody(void *self, curl_off_t offset, int origin)
{
    RangeDevice *body = static_cast<CurlTransfer *>(self)->body;
    if (offset != 0 || origin != SEEK_SET)
        return CURL_SEEKFUNC_CANTSEEK;
    return body->seek(0) ? CURL_SEEKFUNC_OK : CURL_SEEKFUNC_FAIL;
}

// Headers of each answer as they come; a reply larger than any this program
// reads is refused on its declared length.
size_t CurlTransfer::readHeader(char *buffer, size_t size, size_t count, void *self)
{
    auto *transfer = static_cast<CurlTransfer *>(self);
    const size_t length = size * count;
    const QByteArray line = QByteArray(buffer, int(length)).trimmed();
    transfer->sinceMoved.start();
    UploadResult &outcome = transfer->outcome;
    if (line.startsWith("HTTP/")) {
        const QList<QByteArray> parts = line.split(' ');
        outcome.httpStatus = parts.value(1).toInt();
        transfer->reason = line.mid(line.indexOf(' ', line.indexOf(' ') + 1) + 1);
        if (parts.size() < 3)
            transfer->reason.clear();
        outcome.headers.clear();
        transfer->declaredLength = -1;
    } else if (line.isEmpty()) {
        if (transfer->declaredLength > ReplyBody::maximumSize) {
            transfer->cause = Cause::ReplyTooLarge;
            return 0;
        }
        transfer->replyBody.start(headerValue(outcome.headers, "Content-Encoding"), transfer->declaredLength);
    } else if (line.contains(':')) {
        const int colon = line.indexOf(':');
        const QByteArray name = line.left(colon).trimmed();
        const QByteArray value = line.mid(colon + 1).trimmed();
        outcome.headers << qMakePair(name, value);
        if (name.compare("Content-Length", Qt::CaseInsensitive) == 0) {
            bool valid = false;
            const qint64 declared = value.toLongLong(&valid);
            transfer->declaredLength = valid ? declared : -1;
        }
    }
    return length;
}

size_t CurlTransfer::readReply(char *buffer, size_t size, size_t count, void *self)
{
    auto *transfer = static_cast<CurlTransfer *>(self);
    const size_t length = size * count;
    transfer->sinceMoved.start();
    if (!transfer->replyBody.append(QByteArray::fromRawData(buffer, int(length)))) {
        transfer->cause = Cause::ReplyTooLarge;
        return 0;
    }
    return length;
}

void CurlTransfer::transferFinished(CURL *handle, CURLcode code)
{
    if (handle == easy && state == State::Posting)
        endAttempt(code);
}

void CurlTransfer::endAttempt(CURLcode code)
{
    state = State::Idle;
    idleCheck.stop();
    pace.stop();
    if (!probe) {
        outcome.elapsedMilliseconds = elapsed.elapsed();
        outcome.reason = outcome.httpStatus > 0 ? reason : QByteArray();
        // Kept on an error too: an error status often says why in its body.
        outcome.reply = replyBody.bytes();
        received = replyBody.receivedSize();
        replyBody.start(QByteArray());
    }
    long connectCode = 0;
    curl_easy_getinfo(easy, CURLINFO_HTTP_CONNECTCODE, &connectCode);
    const QByteArray proxyRefused = " >> Proxy authentication failed: check UPLOADER_PROXY_USER and UPLOADER_PROXY_PASSWORD ";

    if (cause == Cause::None && answerProxyScheme())
        return;
    proxyTookRequest = proxyTookRequest || (outcome.httpStatus > 0 && outcome.httpStatus != 407);
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
    if (connectCode == 407 || connectCode == 401 || (throughProxy() && !secure && outcome.httpStatus == 407))
        return fail(proxyRefused, int(QNetworkReply::ProxyAuthenticationRequiredError), false);
    const bool unanswered = outcome.httpStatus == 0 && (code == CURLE_SEND_ERROR || code == CURLE_RECV_ERROR || code == CURLE_GOT_NOTHING);
    if (throughProxy() && !secure && !probe && ((outcome.httpStatus == 401 && !settings.proxyUser.isEmpty()) || unanswered))
        return askProxy(code);
    if (code == CURLE_PARTIAL_FILE && outcome.httpStatus > 0)
        return fail(" >> Reply cut short: " + QByteArray::number(received) + " of " + QByteArray::number(declaredLength) + " Byte ",
                    int(QNetworkReply::RemoteHostClosedError), true);
    if (code != CURLE_OK) {
        const int error = transportError(code, throughProxy());
        return fail(" >> Reply Error #: " + QByteArray::number(error) + ' ', error,
                    RetryPolicy::isTransient(outcome.httpStatus, QNetworkReply::NetworkError(error)));
    }
    // The script engine takes about 60 bytes of memory per byte of JSON.
    if (!outcome.reply.isNull() && outcome.reply.size() <= UploadJob::maximumParsedSize) {
        outcome.statusCodeShown = true;
        outcome.statusCode = UploadJob::statusCode(outcome.reply);
    }
    if (outcome.httpStatus >= 400) {
        const int error = statusError(outcome.httpStatus);
        return fail(" >> Reply Error #: " + QByteArray::number(error) + ' ', error,
                    RetryPolicy::isTransient(outcome.httpStatus, QNetworkReply::NetworkError(error)));
    }
    // Only a 2xx status says the server took the chunk: an unfollowed redirect does not.
    if (outcome.httpStatus < 200 || outcome.httpStatus > 299)
        return fail(" >> Unexpected HTTP status: " + QByteArray::number(outcome.httpStatus) + ' ', 0,
                    RetryPolicy::isTransient(outcome.httpStatus, QNetworkReply::NoError));
    outcome.exitStatus = ExitStatus::Success;
    finishAttempt(false);
}

void CurlTransfer::askProxy(CURLcode code)
{
    const QUrl url(QString::fromUtf8(address));
    QByteArray host = QUrl::toAce(url.host());
    if (host.contains(':'))
        host = '[' + host + ']';
    state = State::AskingProxy;
    probe = new ProxyProbe(QNetworkProxy(QNetworkProxy::HttpProxy, QString::fromUtf8(settings.proxyHost), settings.proxyPort),
                           host + ':' + QByteArray::number(url.port(80)), settings.proxyUser, settings.proxyPassword, this);
    connect(probe, &ProxyProbe::finished, this, [this, code](bool refused) {
        probe->deleteLater();
        state = State::Idle;
        if (refused)
            fail(" >> Proxy authentication failed: check UPLOADER_PROXY_USER and UPLOADER_PROXY_PASSWORD ",
                 int(QNetworkReply::ProxyAuthenticationRequiredError), false);
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

// Ends the chunk, or waits and posts again when the failure may pass.
void CurlTransfer::finishAttempt(bool transient)
{
    if (transient && !ending) {
        const QByteArray retryAfter = outcome.httpStatus > 0 ? headerValue(outcome.headers, "Retry-After") : QByteArray();
        const int wait = RetryPolicy::waitSeconds(outcome.attempts - 1, retryAfter, QDateTime::currentDateTimeUtc());
        if (outcome.attempts <= settings.retries && (retryDeadline.isForever() || retryDeadline.remainingTime() >= wait * qint64(1000))) {
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
    multi->remove(easy);
    cause = Cause::GivenUp;
    outcome.failure = line;
    endAttempt(CURLE_ABORTED_BY_CALLBACK);
}

void CurlTransfer::checkIdle()
{
    // Held back by the rate limit, which other chunks in flight may take whole for a while: not the server's silence.
    if (pace.isActive())
        sinceMoved.start();
    if (sinceMoved.elapsed() >= settings.idleTimeout * qint64(1000))
        giveUp(" >> Timed out: no data moved for " + QByteArray::number(settings.idleTimeout) + " seconds ");
}

// A proxy that refused Basic and asks for another scheme is answered in it,
// within the attempt; the scheme stays for the chunks that follow.
bool CurlTransfer::answerProxyScheme()
{
    long offered = 0;
    curl_easy_getinfo(easy, CURLINFO_PROXYAUTH_AVAIL, &offered);
    // Digest only: the schemes that ask twice (NTLM) would first post no body, which the request's own Content-Length contradicts.
    if (!throughProxy() || secure || settings.proxyUser.isEmpty() || outcome.httpStatus != 407 || proxyScheme != long(CURLAUTH_BASIC)
        || (offered & long(CURLAUTH_DIGEST)) == 0)
        return false;
    proxyScheme = long(CURLAUTH_DIGEST);
    curl_easy_setopt(easy, CURLOPT_PROXYAUTH, proxyScheme);
    outcome.httpStatus = 0;
    outcome.headers.clear();
    send();
    return true;
}

bool CurlTransfer::throughProxy() const
{
    return !settings.proxyHost.isEmpty();
}

int CurlTransfer::transportError(CURLcode code, bool throughProxy)
{
    switch (code) {
    case CURLE_COULDNT_RESOLVE_PROXY:
        return QNetworkReply::ProxyNotFoundError;
    case CURLE_COULDNT_RESOLVE_HOST:
        return QNetworkReply::HostNotFoundError;
    case CURLE_COULDNT_CONNECT:
        return throughProxy ? QNetworkReply::ProxyConnectionRefusedError : QNetworkReply::ConnectionRefusedError;
    case CURLE_OPERATION_TIMEDOUT:
        return throughProxy ? QNetworkReply::ProxyTimeoutError : QNetworkReply::TimeoutError;
    case CURLE_GOT_NOTHING:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_PARTIAL_FILE:
        return QNetworkReply::RemoteHostClosedError;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_USE_SSL_FAILED:
        return QNetworkReply::SslHandshakeFailedError;
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_URL_MALFORMAT:
        return QNetworkReply::ProtocolUnknownError;
    case CURLE_WEIRD_SERVER_REPLY:
        return QNetworkReply::ProtocolFailure;
    default:
        return QNetworkReply::UnknownNetworkError;
    }
}

int CurlTransfer::statusError(int httpStatus)
{
    switch (httpStatus) {
    case 400:
    case 418:
        return QNetworkReply::ProtocolInvalidOperationError;
    case 401:
        return QNetworkReply::AuthenticationRequiredError;
    case 403:
        return QNetworkReply::ContentAccessDenied;
    case 404:
        return QNetworkReply::ContentNotFoundError;
    case 405:
        return QNetworkReply::ContentOperationNotPermittedError;
    case 407:
        return QNetworkReply::ProxyAuthenticationRequiredError;
    case 409:
        return QNetworkReply::ContentConflictError;
    case 410:
        return QNetworkReply::ContentGoneError;
    case 500:
        return QNetworkReply::InternalServerError;
    case 501:
        return QNetworkReply::OperationNotImplementedError;
    case 503:
        return QNetworkReply::ServiceUnavailableError;
    default:
        return httpStatus > 500 ? QNetworkReply::UnknownServerError : QNetworkReply::UnknownContentError;
    }
}

// Its own meta-object code here, not in the library's shared moc unit, so that uploader links no libcurl.
#include "moc_curltransfer.cpp"
