#ifndef RATELIMITER_H
#define RATELIMITER_H

#include <QtGlobal>

#include <functional>

// Paces bytes to a rate shared by everyone who takes from it: the chunks in
// flight of one run together. Credit grows with the clock from nothing, so
// from the start no more than the rate ever goes; idle time banks a quarter
// of a second at most.
class RateLimiter
{
public:
    // Nanoseconds on a clock that never goes back.
    using Clock = std::function<qint64()>;

    explicit RateLimiter(qint64 bytesPerSecond, Clock clock = monotonicClock());

    // Up to wanted bytes that may go now; 0 until a piece has built up.
    qint64 take(qint64 wanted);
    // Milliseconds until take() of a piece gives bytes again; 0 when it does now.
    int waitMilliseconds(qint64 wanted) const;
    qint64 rate() const;

    static Clock monotonicClock();

private:
    qint64 allowed() const;
    qint64 available() const;
    qint64 piece(qint64 wanted) const;

    const qint64 bytesPerSecond;
    const Clock clock;
    const qint64 origin;
    qint64 taken = 0;
    const qint64 largestPiece;
    const qint64 bank;
};

#endif // RATELIMITER_H
