#ifndef CURLTRANSFER_H
#define CURLTRANSFER_H

#include "attemptrule.h"
#include "curlexchange.h"
#include "curlmulti.h"
#include "curlrequest.h"
#include "curlsettings.h"
#include "uploadresult.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <curl/curl.h>

class CurlError;
class ProxyProbe;
class RangeDevice;

// The attempts of one chunk after another through libcurl: the body read
// from the file as it goes out, the reply within its caps, an attempt given
// up when it goes idle, waits and posts again after a failure that may pass.
// One per chunk in flight; its handle, and so its connection, serves the next
// chunk. Prints nothing, and ends each chunk once, with finished().
class CurlTransfer : public QObject, private CurlMulti::Receiver
{
    Q_OBJECT

public:
    using Settings = CurlSettings;

    // The settings are the run's, shared by every transfer and outliving them.
    CurlTransfer(CurlMulti *multi, const Settings &settings, QObject *parent = nullptr);
    ~CurlTransfer() override;

    // Takes over the body and posts its first attempt; no retry is made whose wait would end past the deadline.
    // finished() never comes from within this call.
    void start(const QByteArray &url, RangeDevice *body, const QDeadlineTimer &retryDeadline);
    // The chunk's result so far; once finished() has been handled, the reply body is let go.
    const UploadResult &result() const;
    // The first libcurl option its handle refused, empty when none: no chunk can then be sent.
    QByteArray problem() const;
    // Its libcurl handle, which names it in CurlSettings::headerLines.
    CURL *handle() const;
    // The CRC-32 of the bytes the last attempt sent.
    quint32 checksum() const;
    // Ends the chunk now, with this failure line, as a transient failure.
    void abort(const QByteArray &line);

signals:
    void attemptStarted();
    void uploadProgress(qint64 bytesSent);
    void retryScheduled(int seconds);
    void finished(const UploadResult &result);

private:
    enum class State { Idle, Posting, AskingProxy, WaitingToRetry };
    // Why an attempt failed, beyond what libcurl and the status say.
    enum class Cause { None, GivenUp, FileUnreadable, ReplyTooLarge, OverBudget, NotStarted };

    void post();
    void send();
    void transferFinished(CURLcode code) override;
    void endAttempt(CURLcode code);
    void askProxy(CURLcode code);
    void judge(CURLcode code);
    using Passing = AttemptRule::Passing;
    // Ends the attempt: the chunk ends, or waits and posts again when the failure may pass.
    void fail(const QByteArray &line, FailureKind kind, Passing passing);
    void fail(const CurlError &error);
    void emitFinished();
    void giveUp(const QByteArray &line);
    void checkIdle();
    // The attempt ends from the event loop with this line: libcurl never had it.
    void failToStart(const QByteArray &line, bool transient);
    bool sentWhole() const;
    QByteArray overBudgetLine() const;

    CurlMulti *multi;
    const Settings &settings;
    CurlRequest request;
    CurlExchange exchange;
    State state = State::Idle;
    Cause cause = Cause::None;
    // Set by abort(): no attempt follows.
    bool ending = false;
    // Counts the attempts, so that a failure to start queued for one never ends another.
    quint64 attemptSerial = 0;
    QByteArray startFailure;
    bool startFailureTransient = false;
    QDeadlineTimer retryDeadline;
    QTimer retryWait;
    QTimer idleCheck;
    QElapsedTimer elapsed;
    // Asking the proxy whether a 401 was its refusal, or null.
    ProxyProbe *probe = nullptr;
    UploadResult outcome;
};

#endif // CURLTRANSFER_H
