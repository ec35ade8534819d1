#ifndef WATCHDOG_H
#define WATCHDOG_H

#include "uploadresult.h"

#include <QElapsedTimer>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

class ResultWriter;

// Ends an unanswered attempt from a thread of its own when no data has moved
// for the idle time-out and a grace, when the run has taken its whole time
// and the grace, or when the process outgrows its memory bound. Qt can hold the program's thread for minutes on a hostile reply
// header, and then neither the event loop's timers nor any check of the
// program's runs. Once an attempt has its answer, nothing here ends the run.
class Watchdog
{
public:
    Watchdog();
    ~Watchdog();
    Q_DISABLE_COPY(Watchdog)

    // 0 leaves only the memory bound.
    void setIdleTimeout(int seconds);
    // The run's whole time, from when this object was made; 0 for none.
    void setMaxTime(int seconds);
    void setResultWriter(ResultWriter *writer);
    // How long past the idle time-out or the run's time the program's own clocks
    // have to end the attempt before this does; graceSeconds unless set.
    void setGrace(int milliseconds) { graceMilliseconds = milliseconds; }
    // Memory the run takes on purpose, beyond the bound: a stream's chunk buffers.
    void allowMemory(qint64 bytes);
    // The line after the failure's when the run is ended from here; empty for none.
    void setClosingLine(const QByteArray &line);

    // A new attempt: what the result says if the run has to end during it.
    void startAttempt(const UploadResult &result);
    // Data moved: the idle clock starts again.
    void moved();
    // Bytes of the body sent so far in this attempt.
    void sent(qint64 bytes);
    // The attempt has its answer or has failed: until the next one starts,
    // waiting is not silence and the run is never ended from here.
    void pause();
    // Once this returns, the run is never ended from here.
    void stop();

    // The peak resident set of this process since it started, in bytes, read
    // from its status file; -1 if unreadable. Unlike getrusage, it never
    // holds the memory of the program that started this one.
    static qint64 residentPeak(int statusDescriptor);

    static constexpr int graceSeconds = 5;
    static const qint64 memoryBound;

private:
    void watch();
    // The console's lines of each way to end, built while nothing is urgent.
    void layLines();
    [[noreturn]] void expire(const QByteArray &failure, const QByteArray &lines, ExitStatus status);

    int idleTimeout = 0;
    qint64 bound = memoryBound;
    int maxTime = 0;
    int graceMilliseconds = graceSeconds * 1000;
    ResultWriter *resultFile = nullptr;
    int statusDescriptor = -1;
    // Built beforehand: nothing is allocated on the way out.
    QByteArray timedOut;
    QByteArray timedOutLines;
    QByteArray outOfTime;
    QByteArray outOfTimeLines;
    QByteArray memoryExceeded;
    QByteArray memoryLines;
    QByteArray closingLine = " >> Exit with error! ";
    QElapsedTimer clock;
    std::atomic<qint64> lastMoved{ -1 };
    std::atomic<qint64> bytesSent{ 0 };
    std::mutex mutex;
    std::condition_variable wake;
    bool stopped = false;
    UploadResult result;
    qint64 attemptStarted = 0;
    std::thread thread;
};

#endif // WATCHDOG_H
