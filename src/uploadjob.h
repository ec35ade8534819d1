#ifndef UPLOADJOB_H
#define UPLOADJOB_H

#include "longtimer.h"
#include "replybody.h"
#include "uploadresult.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QNetworkRequest>
#include <QObject>
#include <QTimer>

class QNetworkAccessManager;
class QNetworkReply;
class ProxyProbe;
class QUrl;
class RangeDevice;
class Watchdog;

// The attempts of one chunk: posts the body, reads the reply within its caps,
// gives up an attempt that goes idle, waits and posts again after a failure
// that may pass, and ends once, with finished(). Prints nothing: what a job
// reports, it reports by its signals. Several jobs may share one manager.
class UploadJob : public QObject
{
    Q_OBJECT

public:
    explicit UploadJob(QNetworkAccessManager *manager, QObject *parent = nullptr);
    ~UploadJob() override;

    // The request of every attempt, with its eight headers in their order.
    void setRequest(const QUrl &url, const QByteArray &apiToken, qint64 bodySize);
    // Seconds without a byte moving before an attempt is given up; 0 waits for ever.
    void setIdleTimeout(int seconds);
    // Posts after a failure that may pass when the chunk is sent again.
    void setRetries(int count);
    // The job's whole time, attempts and waits included, from start(); 0 for none.
    void setMaxTime(int seconds);
    // No retry is made whose wait would end past this.
    void setRetryDeadline(const QDeadlineTimer &deadline);
    int retries() const;
    // The answer to a proxy that asks for credentials; asked again, the job gives up.
    void setProxyCredentials(const QByteArray &user, const QByteArray &password);
    // Fed as the attempts go; may be shared with other jobs, or none.
    void setWatchdog(Watchdog *watchdog);

    // Takes over the body and posts the first attempt.
    void start(RangeDevice *body);
    const UploadResult &result() const;
    // The CRC-32 of the bytes the last attempt sent.
    quint32 checksum() const;
    // Ends the job now, with this failure line, as a transient failure.
    void abort(const QByteArray &line);

    static QString localTimeZoneOffset();
    // The integer under "status_code" of a JSON object reply, else 0.
    static int statusCode(const QByteArray &body);

    static const qint64 maximumReplySize;
    // Larger replies are shown but not parsed.
    static const int maximumParsedSize;
    // What Qt reads ahead of the program: memory does not depend on how busy its thread is.
    static const qint64 readBufferSize;

signals:
    void attemptStarted();
    void uploadProgress(qint64 bytes_sent, qint64 bytes_total);
    // A console line that reports a failure of the attempt, as it is noticed.
    void failureNoticed(const QByteArray &line);
    // A reply came without a network error; result() holds it. Its failure,
    // if its status says one, is noticed after.
    void replyReceived();
    void retryScheduled(int seconds);
    // Emitted once, when no attempt follows.
    void finished(const UploadResult &result);

private:
    void post();
    void startReply();
    void readReply();
    void rejectReply();
    void checkIdle();
    void runOutOfTime();
    void giveUp(const QByteArray &line);
    void replyFinished();
    void failReply();
    bool proxyMayHaveRefused() const;
    void askProxy();
    void finishAttempt();
    void noteFailure(const QByteArray &line);
    void refuseProxy();

    QNetworkAccessManager *manager;
    QNetworkReply *reply = nullptr;
    QNetworkRequest request;
    RangeDevice *body = nullptr;
    Watchdog *watchdog = nullptr;
    QElapsedTimer elapsed;
    QElapsedTimer sinceMoved;
    bool secure = false;
    int idleTimeout = 0;
    int retryCount = 0;
    int maxTime = 0;
    QDeadlineTimer retryDeadline{ QDeadlineTimer::Forever };
    QTimer retryWait;
    LongTimer runTime;
    bool failed = false;
    // The job gave the attempt up itself, for a reason that may pass.
    bool givenUp = false;
    // No attempt follows this one.
    bool ending = false;
    bool fileFailed = false;
    QByteArray proxyUser;
    QByteArray proxyPassword;
    bool proxyAnswered = false;
    // The TLS session began, so the proxy had opened the tunnel.
    bool tunnelOpened = false;
    // The proxy asked for credentials again: those given, if any, were refused.
    bool proxyRefused = false;
    bool replyTooLarge = false;
    // Qt began to post the body a second time; the attempt ends as a closed connection.
    bool resendRefused = false;
    // Asking the proxy about the failed attempt, or null.
    ProxyProbe *probe = nullptr;
    ReplyBody replyBody;
    UploadResult outcome;
};

#endif // UPLOADJOB_H
