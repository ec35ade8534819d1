#ifndef WATCHDOG_H
#define WATCHDOG_H

#include "uploadresult.h"

#include <QElapsedTimer>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

class ResultFile;

// Ends the run from a thread of its own when no data has moved for the idle
// time-out and a grace, or when the process outgrows its memory bound. Qt can
// hold the program's thread for minutes on a hostile reply header, and then
// neither the event loop's timers nor any check of the program's runs.
class Watchdog
{
public:
    Watchdog();
    ~Watchdog();
    Q_DISABLE_COPY(Watchdog)

    // 0 leaves only the memory bound.
    void setIdleTimeout(int seconds);
    void setResultFile(ResultFile *file);

    // A new attempt: what the result says if the run has to end during it.
    void startAttempt(const UploadResult &result);
    // Data moved: the idle clock starts again.
    void moved();
    // Between attempts the idle clock stands still: waiting to retry is not silence.
    void pause();
    // Since data last moved; -1 while paused.
    qint64 idleMilliseconds() const;
    // Once this returns, the run is never ended from here.
    void stop();

    static constexpr int graceSeconds = 5;
    static const qint64 memoryBound;

private:
    void watch();
    [[noreturn]] void expire(int status, const QByteArray &line);

    int idleTimeout = 0;
    ResultFile *resultFile = nullptr;
    QElapsedTimer clock;
    std::atomic<qint64> lastMoved{ -1 };
    std::mutex mutex;
    std::condition_variable wake;
    bool stopped = false;
    UploadResult result;
    qint64 attemptStarted = 0;
    std::thread thread;
};

#endif // WATCHDOG_H
