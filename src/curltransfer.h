#ifndef CURLTRANSFER_H
#define CURLTRANSFER_H

#include "replybody.h"
#include "uploadresult.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <curl/curl.h>

class CurlMulti;
class ProxyProbe;
class RangeDevice;
class RateLimiter;

// The attempts of one chunk after another through libcurl: the body read
// from the file as it goes out, the reply within its caps, an attempt given
// up when it goes idle, waits and posts again after a failure that may pass.
// One per chunk in flight; its handle, and so its connection, serves the next
// chunk. Prints nothing, and ends each chunk once, with finished().
class CurlTransfer : public QObject
{
    Q_OBJECT

public:
    // What every chunk of a run is sent with.
    struct Settings
    {
        QByteArray apiToken;
        // Seconds without a byte moving before an attempt is given up; 0 waits for ever.
        int idleTimeout = 0;
        int retries = 0;
        QByteArray proxyHost;
        quint16 proxyPort = 0;
        QByteArray proxyUser;
        QByteArray proxyPassword;
        // The authorities' file and OpenSSL's hashed folders: libcurl's own when null, none when empty.
        QByteArray authorityFile;
        QByteArray authorityFolders;
        QByteArray clientCertificate;
        QByteArray clientKey;
        // Shared by the transfers of a run, or null.
        RateLimiter *limiter = nullptr;
    };

    CurlTransfer(CurlMulti *multi, const Settings &settings, QObject *parent = nullptr);
    ~CurlTransfer() override;

    // Takes over the body and posts its first attempt; no retry is made whose wait would end past the deadline.
    void start(const QByteArray &url, RangeDevice *body, const QDeadlineTimer &retryDeadline);
    const UploadResult &result() const;
    // The CRC-32 of the bytes the last attempt sent.
    quint32 checksum() const;
    // Ends the chunk now, with this failure line, as a transient failure.
    void abort(const QByteArray &line);

    // The error number a transport failure is reported with: the number Qt
    // gives the same failure, so that both programs name it alike.
    static int transportError(CURLcode code, bool throughProxy);
    // Qt's error number for an HTTP status of 400 or more.
    static int statusError(int httpStatus);

signals:
    void attemptStarted();
    void uploadProgress(qint64 bytesSent);
    void retryScheduled(int seconds);
    void finished(const UploadResult &result);

private:
    enum class State { Idle, Posting, AskingProxy, WaitingToRetry };
    // Why an attempt failed, beyond what libcurl and the status say.
    enum class Cause { None, GivenUp, FileUnreadable, ReplyTooLarge };

    static size_t readBody(char *buffer, size_t size, size_t count, void *self);
    static int seekBody(void *self, curl_off_t offset, int origin);
    static size_t readHeader(char *buffer, size_t size, size_t count, void *self);
    static size_t readReply(char *buffer, size_t size, size_t count, void *self);
    void configure();
    void post();
    void send();
    bool answerProxyScheme();
    void transferFinished(CURL *handle, CURLcode code);
    void endAttempt(CURLcode code);
    void askProxy(CURLcode code);
    void fail(const QByteArray &line, int error, bool transient);
    void finishAttempt(bool transient);
    void giveUp(const QByteArray &line);
    void checkIdle();
    bool throughProxy() const;

    CurlMulti *multi;
    const Settings settings;
    CURL *easy;
    curl_slist *headerList = nullptr;
    QByteArray address;
    bool secure = false;
    // How credentials go to a plain http proxy.
    long proxyScheme = long(CURLAUTH_BASIC);
    bool proxyTookRequest = false;
    RangeDevice *body = nullptr;
    State state = State::Idle;
    Cause cause = Cause::None;
    // Set by abort(): no attempt follows.
    bool ending = false;
    QDeadlineTimer retryDeadline;
    QTimer retryWait;
    QTimer idleCheck;
    // Resumes a body held back by the rate limit.
    QTimer pace;
    QElapsedTimer elapsed;
    QElapsedTimer sinceMoved;
    qint64 sent = 0;
    // The last response's status line and headers; a 1xx answer is replaced by what follows.
    QByteArray reason;
    qint64 declaredLength = -1;
    // Reply bytes that came, before inflation.
    qint64 received = 0;
    // Asking the proxy whether a 401 was its refusal, or null.
    ProxyProbe *probe = nullptr;
    ReplyBody replyBody;
    UploadResult outcome;
};

#endif // CURLTRANSFER_H
