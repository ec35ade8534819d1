#include "ratelimiter.h"

#include <chrono>

namespace {

const qint64 nanosecondsPerSecond = 1000000000;

} // namespace

RateLimiter::RateLimiter(qint64 bytesPerSecond, Clock clock)
    : bytesPerSecond(qMax<qint64>(1, bytesPerSecond))
    , clock(std::move(clock))
    , origin(this->clock())
    // A fiftieth of a second, between 1 KiB and 64 KiB: small pieces cost calls, large ones burst.
    , largestPiece(qBound<qint64>(qMin<qint64>(1024, this->bytesPerSecond), this->bytesPerSecond / 50, 64 << 10))
    // A quarter of a second: a late wake-up loses nothing, and a pause between chunks banks little.
    , bank(qMax(largestPiece, this->bytesPerSecond / 4))
{
}

qint64 RateLimiter::take(qint64 wanted)
{
    // Idle time beyond the bank is forgotten.
    taken = qMax(taken, allowed() - bank);
    const qint64 credit = available();
    if (wanted <= 0 || credit < piece(wanted))
        return 0;
    const qint64 granted = qMin(credit, wanted);
    taken += granted;
    return granted;
}

int RateLimiter::waitMilliseconds(qint64 wanted) const
{
    const qint64 missing = piece(wanted) - available();
    if (missing <= 0)
        return 0;
    return int(qMin<qint64>((missing * 1000 + bytesPerSecond - 1) / bytesPerSecond, 60000));
}

qint64 RateLimiter::rate() const
{
    return bytesPerSecond;
}

RateLimiter::Clock RateLimiter::monotonicClock()
{
    return [] { return qint64(std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch()).count()); };
}

qint64 RateLimiter::allowed() const
{
    const qint64 elapsed = clock() - origin;
    return elapsed / nanosecondsPerSecond * bytesPerSecond + elapsed % nanosecondsPerSecond * bytesPerSecond / nanosecondsPerSecond;
}

qint64 RateLimiter::available() const
{
    return qMin(allowed() - taken, bank);
}

qint64 RateLimiter::piece(qint64 wanted) const
{
    return qMin(wanted, largestPiece);
}
