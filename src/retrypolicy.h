#ifndef RETRYPOLICY_H
#define RETRYPOLICY_H

#include "failurekind.h"

#include <QByteArray>
#include <QDateTime>

// Which failures may pass when the chunk is sent again, and how long to wait first.
class RetryPolicy
{
public:
    // Decided by the HTTP status when the server answered with one outside
    // 200..299, else by the failure's kind.
    static bool isTransient(int httpStatus, FailureKind kind);

    // The server's Retry-After (seconds or an HTTP date) when it gave a usable
    // one, else a delay doubling from one second for each retry already made.
    static int waitSeconds(int retriesMade, const QByteArray &retryAfter, const QDateTime &now);

    // An HTTP date in any of its three forms, in UTC; invalid when it is none.
    static QDateTime httpDate(const QByteArray &value, const QDateTime &now);

    static constexpr int longestRetryAfter = 600;
    static constexpr int longestBackoff = 60;
};

#endif // RETRYPOLICY_H
