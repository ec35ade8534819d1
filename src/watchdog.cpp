#include "watchdog.h"

#include "consolemessage.h"
#include "resultfile.h"

#include <sys/resource.h>
#include <unistd.h>

// The run's own peak is well below: a 64 MiB reply held once as it came and
// once as its console line. Under AddressSanitizer the shadow memory counts
// too, so there the bound is off.
#if defined(__SANITIZE_ADDRESS__)
const qint64 Watchdog::memoryBound = 0;
#else
const qint64 Watchdog::memoryBound = qint64(224) << 20;
#endif

Watchdog::Watchdog()
{
    clock.start();
}

Watchdog::~Watchdog()
{
    stop();
}

void Watchdog::setIdleTimeout(int seconds)
{
    idleTimeout = seconds;
}

void Watchdog::setResultFile(ResultFile *file)
{
    resultFile = file;
}

void Watchdog::startAttempt(const UploadResult &attempt)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        result = attempt;
        attemptStarted = clock.elapsed();
    }
    moved();
    if (!thread.joinable())
        thread = std::thread(&Watchdog::watch, this);
}

void Watchdog::moved()
{
    lastMoved.store(clock.elapsed(), std::memory_order_relaxed);
}

void Watchdog::pause()
{
    lastMoved.store(-1, std::memory_order_relaxed);
}

qint64 Watchdog::idleMilliseconds() const
{
    const qint64 last = lastMoved.load(std::memory_order_relaxed);
    return last < 0 ? -1 : clock.elapsed() - last;
}

void Watchdog::stop()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopped = true;
    }
    wake.notify_all();
    if (thread.joinable())
        thread.join();
}

void Watchdog::watch()
{
    std::unique_lock<std::mutex> lock(mutex);
    // Often enough that memory cannot run far past the bound between two looks.
    while (!wake.wait_for(lock, std::chrono::milliseconds(10), [this] { return stopped; })) {
        const qint64 idle = idleMilliseconds();
        if (idleTimeout > 0 && idle >= (qint64(idleTimeout) + graceSeconds) * 1000) {
            expire(75, " >> Timed out: no data moved for " + QByteArray::number(idleTimeout) + " seconds");
        }
        struct rusage usage = {};
        if (memoryBound > 0 && getrusage(RUSAGE_SELF, &usage) == 0 && usage.ru_maxrss * qint64(1024) > memoryBound)
            expire(1, " >> Reply too large: memory in use over " + QByteArray::number(memoryBound) + " Byte");
    }
}

// Runs with the lock held, so the run cannot end another way meanwhile. The
// program's thread may be inside Qt: nothing of it is destroyed.
void Watchdog::expire(int status, const QByteArray &line)
{
    result.exitStatus = status;
    result.elapsedMilliseconds = clock.elapsed() - attemptStarted;
    ConsoleMessage(&result.failure) << line.constData();
    ConsoleMessage() << " >> Exit with error!";
    if (resultFile)
        resultFile->write(result);
    ::_exit(status);
}
