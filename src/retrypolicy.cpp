#include "retrypolicy.h"

#include <QLocale>

#include <algorithm>

bool RetryPolicy::isTransient(int httpStatus, FailureKind kind)
{
    // Qt takes an interim answer (102, 103, 104) as the final one and loses
    // what follows; the server may well have stored the chunk.
    if (httpStatus > 0 && httpStatus < 200)
        return true;
    if (httpStatus > 299) {
        switch (httpStatus) {
        case 408: // Request Timeout
        case 425: // Too Early
        case 429: // Too Many Requests
        case 500:
        case 502:
        case 503:
        case 504:
            return true;
        default:
            return false;
        }
    }
    switch (kind) {
    case FailureKind::ConnectionRefusedError:
    case FailureKind::RemoteHostClosedError:
    case FailureKind::HostNotFoundError:
    case FailureKind::TimeoutError:
    case FailureKind::TemporaryNetworkFailureError:
    case FailureKind::NetworkSessionFailedError:
    case FailureKind::ProxyConnectionRefusedError:
    case FailureKind::ProxyConnectionClosedError:
    case FailureKind::ProxyNotFoundError:
    case FailureKind::ProxyTimeoutError:
    // A connection reset while the body goes out.
    case FailureKind::UnknownNetworkError:
    // The connection closed during the request and the body was not posted again by Qt.
    case FailureKind::ContentReSendError:
        return true;
    default:
        return false;
    }
}

int RetryPolicy::waitSeconds(int retriesMade, const QByteArray &retryAfter, const QDateTime &now)
{
    const QByteArray value = retryAfter.trimmed();
    const bool digits = !value.isEmpty() && std::all_of(value.cbegin(), value.cend(), [](char c) { return c >= '0' && c <= '9'; });
    qint64 seconds = -1;
    if (digits) {
        // Read whole, leading zeros and all, without overflowing.
        seconds = 0;
        for (const char c : value)
            seconds = qMin<qint64>(seconds * 10 + (c - '0'), longestRetryAfter + 1);
    } else if (!value.isEmpty()) {
        const QDateTime date = httpDate(value, now);
        if (date.isValid())
            seconds = qMax<qint64>(0, (now.msecsTo(date) + 999) / 1000);
    }
    if (seconds >= 0)
        return int(qMin<qint64>(seconds, longestRetryAfter));
    return qMin(longestBackoff, 1 << qMin(retriesMade, 6));
}

// The three forms HTTP takes: "Sun, 06 Nov 1994 08:49:37 GMT", the obsolete
// "Sunday, 06-Nov-94 08:49:37 GMT" and asctime's "Sun Nov  6 08:49:37 1994";
// always GMT, in the C locale's day and month names.
QDateTime RetryPolicy::httpDate(const QByteArray &value, const QDateTime &now)
{
    const QLocale c = QLocale::c();
    QString text = QString::fromLatin1(value).simplified();
    QDateTime date = c.toDateTime(text, QStringLiteral("ddd, dd MMM yyyy HH:mm:ss 'GMT'"));
    if (!date.isValid())
        date = c.toDateTime(text, QStringLiteral("ddd MMM d HH:mm:ss yyyy"));
    const int dash = text.lastIndexOf(QLatin1Char('-'));
    if (!date.isValid() && dash > 0 && text.indexOf(QLatin1Char(' '), dash) == dash + 3) {
        // A two-digit year more than 50 years ahead is in the past century.
        const int year = text.mid(dash + 1, 2).toInt() + now.date().year() / 100 * 100;
        const int fullYear = year > now.date().year() + 50 ? year - 100 : year;
        text.replace(dash + 1, 2, QString::number(fullYear));
        date = c.toDateTime(text, QStringLiteral("dddd, dd-MMM-yyyy HH:mm:ss 'GMT'"));
    }
    date.setTimeSpec(Qt::UTC);
    return date;
}
