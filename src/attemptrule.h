#ifndef ATTEMPTRULE_H
#define ATTEMPTRULE_H

#include "exitstatus.h"
#include "failurekind.h"

#include <QByteArray>
#include <QDateTime>
#include <QDeadlineTimer>

class UploadResult;

// What an attempt of a chunk decides, whichever transport sent it: whether
// another attempt follows and after how long, the exit status, the console
// lines of its failures, and when the reply's status_code is read.
class AttemptRule
{
public:
    // Whether the failure may pass when the chunk is sent again.
    enum class Passing {
        // As its kind and the HTTP status say.
        ByKind,
        // The job's own reason that may pass (idle, cut short, stopped).
        Always,
        // The job's own reason that will not (the file unreadable, the proxy refused).
        Never,
    };

    // How a failed attempt ended.
    struct Ending {
        FailureKind kind = FailureKind::None;
        Passing passing = Passing::ByKind;
        int httpStatus = 0;
        // The reply's Retry-After, taken only from an HTTP answer.
        QByteArray retryAfter;
        // Made so far, this one included.
        int attempts = 0;
        // Allowed after the first.
        int retries = 0;
        // No wait may end past either.
        QDeadlineTimer retryDeadline{ QDeadlineTimer::Forever };
        QDeadlineTimer runDeadline{ QDeadlineTimer::Forever };
        // The job is being stopped: no attempt follows.
        bool stopping = false;
    };

    struct Decision {
        ExitStatus exitStatus = ExitStatus::Failure;
        // Seconds before the next attempt; negative when none follows.
        int wait = -1;
        bool retries() const { return wait >= 0; }
    };

    static Decision decide(const Ending &ending, const QDateTime &now);
    static bool isTransient(const Ending &ending);

    // The console lines of failures, as both programs print them.
    static QByteArray idleLine(int seconds);
    static QByteArray runTooLongLine(int seconds);
    static QByteArray tooLargeLine();
    static QByteArray fileUnreadableLine();
    static QByteArray unexpectedStatusLine(int httpStatus);
    static QByteArray errorLine(FailureKind kind);
    static QByteArray cutShortLine(qint64 received, qint64 declared);
    static QByteArray proxyRefusedLine();

    // The script engine takes about 60 bytes of memory per byte of JSON: larger replies are shown but not parsed.
    static constexpr int maximumParsedSize = 1 << 20;
    static bool parsesStatusCode(const QByteArray &reply);
    // Reads the reply's status_code into the result, when parsesStatusCode() allows.
    static void readStatusCode(UploadResult &outcome);
    // The integer under "status_code" of a JSON object reply, else 0.
    static int statusCode(const QByteArray &body);
};

#endif // ATTEMPTRULE_H
