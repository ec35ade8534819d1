#include "longtimer.h"

#include <limits>

LongTimer::LongTimer(QObject *parent)
    : QObject(parent)
{
    timer.setSingleShot(true);
    timer.setTimerType(Qt::PreciseTimer);
    connect(&timer, &QTimer::timeout, this, [this] {
        if (deadline.hasExpired())
            emit expired();
        else
            arm();
    });
}

void LongTimer::start(qint64 milliseconds)
{
    deadline.setRemainingTime(milliseconds, Qt::PreciseTimer);
    arm();
}

void LongTimer::stop()
{
    timer.stop();
}

qint64 LongTimer::remainingTime() const
{
    return deadline.remainingTime();
}

void LongTimer::arm()
{
    timer.start(int(qMin<qint64>(deadline.remainingTime(), std::numeric_limits<int>::max())));
}
