#include "attemptrule.h"

#include "jsonscript.h"
#include "replybody.h"
#include "retrypolicy.h"
#include "uploadresult.h"

#include <QVariant>

#include <cmath>
#include <limits>

namespace {

bool endsBefore(const QDeadlineTimer &deadline, int seconds)
{
    return !deadline.isForever() && deadline.remainingTime() < seconds * qint64(1000);
}

} // namespace

bool AttemptRule::isTransient(const Ending &ending)
{
    switch (ending.passing) {
    case Passing::Always:
        return true;
    case Passing::Never:
        return false;
    case Passing::ByKind:
        break;
    }
    return RetryPolicy::isTransient(ending.httpStatus, ending.kind);
}

// Another attempt follows a failure that may pass while retries are left
// and its wait ends before both deadlines.
AttemptRule::Decision AttemptRule::decide(const Ending &ending, const QDateTime &now)
{
    Decision decision;
    const bool transient = isTransient(ending);
    decision.exitStatus = transient ? ExitStatus::TemporaryFailure : ExitStatus::Failure;
    if (!transient || ending.stopping || ending.attempts > ending.retries)
        return decision;
    const int wait = RetryPolicy::waitSeconds(ending.attempts - 1, ending.retryAfter, now);
    if (endsBefore(ending.retryDeadline, wait) || endsBefore(ending.runDeadline, wait))
        return decision;
    decision.wait = wait;
    return decision;
}

QByteArray AttemptRule::idleLine(int seconds)
{
    return " >> Timed out: no data moved for " + QByteArray::number(seconds) + " seconds ";
}

QByteArray AttemptRule::runTooLongLine(int seconds)
{
    return " >> Timed out: the run took over " + QByteArray::number(seconds) + " seconds ";
}

QByteArray AttemptRule::tooLargeLine()
{
    return " >> Reply too large: more than " + QByteArray::number(ReplyBody::maximumSize) + " Byte ";
}

QByteArray AttemptRule::fileUnreadableLine()
{
    return " >> Cannot read input file. ";
}

QByteArray AttemptRule::unexpectedStatusLine(int httpStatus)
{
    return " >> Unexpected HTTP status: " + QByteArray::number(httpStatus) + ' ';
}

QByteArray AttemptRule::errorLine(FailureKind kind)
{
    return " >> Reply Error #: " + QByteArray::number(int(kind)) + ' ';
}

QByteArray AttemptRule::cutShortLine(qint64 received, qint64 declared)
{
    return " >> Reply cut short: " + QByteArray::number(received) + " of " + QByteArray::number(declared) + " Byte ";
}

QByteArray AttemptRule::proxyRefusedLine()
{
    return " >> Proxy authentication failed: check UPLOADER_PROXY_USER and UPLOADER_PROXY_PASSWORD ";
}

bool AttemptRule::parsesStatusCode(const QByteArray &reply)
{
    return !reply.isNull() && reply.size() <= maximumParsedSize;
}

void AttemptRule::readStatusCode(UploadResult &outcome)
{
    if (!parsesStatusCode(outcome.reply))
        return;
    outcome.statusCodeShown = true;
    outcome.statusCode = statusCode(outcome.reply);
}

// The JSON text ends at the first zero byte; the reply's bytes are UTF-8.
int AttemptRule::statusCode(const QByteArray &bytes)
{
    const int zero = bytes.indexOf('\0');
    const QString text = QString::fromUtf8(bytes.constData(), zero < 0 ? bytes.size() : zero);
    const QVariant value = JsonScript::instance().parse(text).value(QStringLiteral("status_code"));
    // A number that is not an int would print as another one: 4294967497 as 201, 201.9 as 202.
    if (value.userType() == QMetaType::Double) {
        const double number = value.toDouble();
        const bool integral = std::trunc(number) == number && number >= std::numeric_limits<int>::min()
                              && number <= std::numeric_limits<int>::max();
        return integral ? int(number) : 0;
    }
    return value.toInt();
}
