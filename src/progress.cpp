#include "progress.h"

#include "consolemessage.h"

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
