#include "watchdog.h"

#include "consolemessage.h"
#include "resultwriter.h"

#include <cstring>

#include <fcntl.h>
#include <unistd.h>

// Measured: no reply within the byte cap took a run past 200 MiB (see the
// replies within the bound in bench/README.md). Under AddressSanitizer the
// shadow memory counts too, so there the bound is off.
#if defined(__SANITIZE_ADDRESS__)
const qint64 Watchdog::memoryBound = 0;
#else
const qint64 Watchdog::memoryBound = qint64(224) << 20;
#endif

Watchdog::Watchdog()
    : statusDescriptor(::open("/proc/self/status", O_RDONLY | O_CLOEXEC))
    , memoryExceeded(" >> Reply too large: memory in use over " + QByteArray::number(memoryBound) + " Byte ")
{
    clock.start();
    setIdleTimeout(0);
}

Watchdog::~Watchdog()
{
    stop();
    if (statusDescriptor >= 0)
        ::close(statusDescriptor);
}

void Watchdog::setIdleTimeout(int seconds)
{
    idleTimeout = seconds;
    timedOut = " >> Timed out: no data moved for " + QByteArray::number(seconds) + " seconds ";
    layLines();
}

void Watchdog::setMaxTime(int seconds)
{
    maxTime = seconds;
    outOfTime = " >> Timed out: the run took over " + QByteArray::number(seconds) + " seconds ";
    layLines();
}

void Watchdog::allowMemory(qint64 bytes)
{
    if (memoryBound == 0)
        return;
    bound = memoryBound + bytes;
    memoryExceeded = " >> Reply too large: memory in use over " + QByteArray::number(bound) + " Byte ";
    layLines();
}

void Watchdog::setClosingLine(const QByteArray &line)
{
    closingLine = line;
    layLines();
}

void Watchdog::layLines()
{
    const QByteArray closing = closingLine.isEmpty() ? QByteArray() : closingLine + '\n';
    timedOutLines = timedOut + '\n' + closing;
    outOfTimeLines = outOfTime + '\n' + closing;
    memoryLines = memoryExceeded + '\n' + closing;
}

void Watchdog::setResultWriter(ResultWriter *writer)
{
    resultFile = writer;
}

void Watchdog::startAttempt(const UploadResult &attempt)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        result = attempt;
        attemptStarted = clock.elapsed();
    }
    bytesSent.store(0, std::memory_order_relaxed);
    moved();
    if (!thread.joinable())
        thread = std::thread(&Watchdog::watch, this);
}

void Watchdog::moved()
{
    lastMoved.store(clock.elapsed(), std::memory_order_relaxed);
}

void Watchdog::sent(qint64 bytes)
{
    bytesSent.store(bytes, std::memory_order_relaxed);
}

void Watchdog::pause()
{
    lastMoved.store(-1, std::memory_order_relaxed);
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

qint64 Watchdog::residentPeak(int statusDescriptor)
{
    char text[4096];
    const ssize_t size = ::pread(statusDescriptor, text, sizeof text - 1, 0);
    if (size <= 0)
        return -1;
    text[size] = '\0';
    const char *line = std::strstr(text, "\nVmHWM:");
    if (!line)
        return -1;
    qint64 kilobytes = 0;
    for (line += 7; *line == ' ' || *line == '\t'; ++line) {
    }
    for (; *line >= '0' && *line <= '9'; ++line)
        kilobytes = kilobytes * 10 + (*line - '0');
    return kilobytes * 1024;
}

void Watchdog::watch()
{
    std::unique_lock<std::mutex> lock(mutex);
    // Often enough that memory cannot run far past the bound between two looks.
    while (!wake.wait_for(lock, std::chrono::milliseconds(10), [this] { return stopped; })) {
        const qint64 last = lastMoved.load(std::memory_order_relaxed);
        if (last < 0)
            continue;
        if (idleTimeout > 0 && clock.elapsed() - last >= qint64(idleTimeout) * 1000 + graceMilliseconds)
            expire(timedOut, timedOutLines, ExitStatus::TemporaryFailure);
        if (maxTime > 0 && clock.elapsed() >= qint64(maxTime) * 1000 + graceMilliseconds)
            expire(outOfTime, outOfTimeLines, ExitStatus::TemporaryFailure);
        if (bound > 0 && residentPeak(statusDescriptor) > bound)
            expire(memoryExceeded, memoryLines, ExitStatus::Failure);
    }
}

// Runs with the lock held, so the run cannot end another way meanwhile. The
// program's thread may be inside Qt, or blocked writing to the console:
// nothing of it is destroyed or waited for. The result comes first, since it
// is what a script acts on.
void Watchdog::expire(const QByteArray &failure, const QByteArray &lines, ExitStatus status)
{
    result.exitStatus = status;
    result.elapsedMilliseconds = clock.elapsed() - attemptStarted;
    result.bytes = bytesSent.load(std::memory_order_relaxed);
    result.failure = failure;
    if (resultFile)
        resultFile->write(result);
    ConsoleMessage::writeUrgently(lines);
    ::_exit(int(status));
}
