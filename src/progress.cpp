#include "progress.h"

#include "consolemessage.h"

#include <QList>

#include <limits>

namespace {

int percentOf(qint64 done, qint64 total)
{
    // done * 100 overflows only beyond 92 PB; there the division comes first.
    qint64 percent = 0;
    if (__builtin_mul_overflow(done, qint64(100), &percent))
        percent = done / qMax<qint64>(1, total / 100);
    else
        percent /= total;
    return int(qMin<qint64>(percent, std::numeric_limits<int>::max()));
}

} // namespace

int Progress::lastPercent = 0;

Progress::Progress(Steps steps)
    : steps(steps)
{
}

void Progress::restart()
{
    (steps == Steps::Reached ? lastPercent : passedPercent) = 0;
}

void Progress::update(qint64 done, qint64 total, double megabytesPerSecond)
{
    if (steps == Steps::Reached) {
        if (done <= 0 || total <= 0)
            return;
        const int percent = percentOf(done, total);
        if (percent <= lastPercent)
            return;
        lastPercent = percent;
        if (percent % 10 == 0)
            ConsoleMessage() << " >> Progress: " << percent;
        return;
    }
    // An empty file is whole from the start.
    const int percent = total <= 0 ? 100 : percentOf(done, total);
    if (percent / 10 <= passedPercent / 10)
        return;
    passedPercent = percent;
    ConsoleMessage::writeLine(" >> Progress: " + QByteArray::number(percent / 10 * 10) + " % of " + QByteArray::number(total) + " Byte, "
                              + QByteArray::number(megabytesPerSecond, 'f', 1) + " MB/s ");
}

QByteArray Progress::size(double bytes)
{
    if (bytes < 1024)
        return QByteArray::number(qint64(bytes)) + " B";
    static const char *const units[] = { "KiB", "MiB", "GiB", "TiB", "PiB" };
    int unit = 0;
    bytes /= 1024;
    // 1023.96 KiB would read "1024.0 KiB".
    while (bytes >= 1023.95 && unit < 4) {
        bytes /= 1024;
        ++unit;
    }
    return QByteArray::number(bytes, 'f', 1) + ' ' + units[unit];
}

QByteArray Progress::clockTime(qint64 seconds)
{
    const auto twoDigits = [](qint64 value) { return QByteArray::number(value).rightJustified(2, '0'); };
    return QByteArray::number(seconds / 3600) + ':' + twoDigits(seconds / 60 % 60) + ':' + twoDigits(seconds % 60);
}

QByteArray Progress::statusLine(const Figures &figures, int width)
{
    const bool whole = figures.total >= 0;
    const int percent = !whole ? 0 : figures.total == 0 ? 100 : qBound(0, percentOf(figures.done, figures.total), 100);
    const QByteArray head = " >> " + (whole ? QByteArray::number(percent) + " % " : QByteArray());
    const QByteArray done = size(figures.done);
    QByteArray amount = done;
    if (whole) {
        const QByteArray total = size(figures.total);
        const int unit = done.lastIndexOf(' ');
        // "27.0 of 64.0 MiB": one unit for both when they share it.
        amount = (done.mid(unit) == total.mid(total.lastIndexOf(' ')) ? done.left(unit) : done) + " of " + total;
    }
    // From the one a reader needs most; the last ones go first when the line is too long.
    QList<QByteArray> fields{ amount, size(figures.bytesPerSecond) + "/s" };
    const double secondsLeft = whole && figures.bytesPerSecond > 0 ? (figures.total - qMin(figures.done, figures.total)) / figures.bytesPerSecond : -1;
    // Past a few decades the figure says nothing, and would overflow a qint64 at a byte a week.
    if (secondsLeft >= 0 && secondsLeft < 1e9)
        fields << clockTime(qint64(secondsLeft)) + " left";
    fields << QByteArray::number(figures.inFlight) + " in flight";
    if (figures.retrying > 0)
        fields << QByteArray::number(figures.retrying) + " to retry";
    // A character in the last column would wrap the line on some terminals.
    const int room = qMax(1, width - 1);
    const int barRoom = room - head.size() - fields.join(", ").size() - 3;
    if (whole && barRoom >= 10) {
        // In steps of ten: the bar keeps its length while the figures beside it change theirs.
        const int barWidth = qMin(barRoom / 10 * 10, 40);
        const int filled = figures.total == 0 ? barWidth : int(double(barWidth) * qMin(figures.done, figures.total) / figures.total);
        return head + '[' + QByteArray(filled, '#') + QByteArray(barWidth - filled, '-') + "] " + fields.join(", ");
    }
    while (head.size() + fields.join(", ").size() > room && fields.size() > 1)
        fields.removeLast();
    // The file's size goes before the bytes done.
    if (head.size() + fields.join(", ").size() > room)
        fields = QList<QByteArray>{ done };
    return (head + fields.join(", ")).left(room);
}
