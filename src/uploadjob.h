#ifndef UPLOADJOB_H
#define UPLOADJOB_H

#include "longtimer.h"
#include "proxyauthentication.h"
#include "replybody.h"
#include "replyreader.h"
#include "uploadrequest.h"
#include "uploadresult.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QNetworkRequest>
#include <QObject>
#include <QTimer>

class QNetworkAccessManager;
class QNetworkReply;
class ProxyDigest;
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
    void setRequest(const QUrl &url, const QByteArray &apiToken, qint64 bodySize, const QSslConfiguration *tls = nullptr);
    // Seconds without a byte moving before an attempt is given up; 0 waits for ever.
    void setIdleTimeout(int seconds)
    {
        idleTimeout = seconds;
        reader.setIdleTimeout(seconds);
    }
    // Posts after a failure that may pass when the chunk is sent again.
    void setRetries(int count) { retryCount = count; }
    // The job's whole time, attempts and waits included, from start(); 0 for none.
    void setMaxTime(int seconds) { maxTime = seconds; }
    // No retry is made whose wait would end past this.
    void setRetryDeadline(const QDeadlineTimer &deadline) { retryDeadline = deadline; }
    int retries() const { return retryCount; }
    // The answer to a proxy that asks for credentials; asked again, the job gives up.
    void setProxyCredentials(const QByteArray &user, const QByteArray &password) { proxyAuthentication.setCredentials(user, password); }
    // Fed as the attempts go; may be shared with other jobs, or none.
    void setWatchdog(Watchdog *dog) { watchdog = dog; }

    // Takes over the body and posts the first attempt.
    void start(RangeDevice *body);
    const UploadResult &result() const { return outcome; }
    // The CRC-32 of the bytes the last attempt sent.
    quint32 checksum() const;
    // Ends the job now, with this failure line, as a transient failure.
    void abort(const QByteArray &line) { giveUp(line); }

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
    enum class State { Idle, Posting, ProbingProxy, WaitingToRetry, Finished };
    // Why the job itself failed the attempt; a weightier cause replaces a lighter one.
    enum class Cause {
        None,
        // Qt began to post the body a second time; the attempt ends as a closed connection.
        ResendRefused,
        ReplyTooLarge,
        // Every later read of the file fails too.
        FileUnreadable,
        // For a reason that may pass: the attempt was idle, or its reply cut short.
        GivenUp,
        // As GivenUp, and no attempt follows.
        Stopped,
    };

    void setState(State next);
    void setCause(Cause weightier) { cause = qMax(cause, weightier); }
    void post();
    void send(bool answeringProxy);
    void stopAttempt(Cause why, const QByteArray &line);
    void giveUp(const QByteArray &line);
    void replyFinished(const QByteArray &bytes, qint64 receivedSize);
    void failReply();
    void askProxy();
    void endFailedAttempt();
    void finish(ExitStatus status);
    void noteFailure(const QByteArray &line);

    QNetworkAccessManager *manager;
    QNetworkReply *reply = nullptr;
    QNetworkRequest request;
    RangeDevice *body = nullptr;
    Watchdog *watchdog = nullptr;
    QElapsedTimer elapsed;
    bool secure = false;
    // The attempt's request went again, with the proxy's answer.
    bool resentToProxy = false;
    // The reply's head was refused: its header lines are not kept.
    bool headRefused = false;
    int idleTimeout = 0;
    int retryCount = 0;
    int maxTime = 0;
    QDeadlineTimer retryDeadline{ QDeadlineTimer::Forever };
    QTimer retryWait;
    LongTimer runTime;
    State state = State::Idle;
    Cause cause = Cause::None;
    // Asking the proxy about the failed attempt while ProbingProxy, else null.
    ProxyProbe *probe = nullptr;
    // What a plain-http proxy answered before the first post, when it was asked.
    ProxyDigest *digest = nullptr;
    ReplyReader reader;
    ProxyAuthentication proxyAuthentication;
    UploadResult outcome;
};

#endif // UPLOADJOB_H
