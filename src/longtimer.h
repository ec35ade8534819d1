#ifndef LONGTIMER_H
#define LONGTIMER_H

#include <QDeadlineTimer>
#include <QObject>
#include <QTimer>

// A run time of any length that never ends early: a Qt timer holds at most
// 24.8 days in its int milliseconds, and a coarse one may fire 5 % before its
// time. Waited for in steps, against a 64-bit deadline.
class LongTimer : public QObject
{
    Q_OBJECT

public:
    explicit LongTimer(QObject *parent = nullptr);

    // expired() once, no earlier than this from now.
    void start(qint64 milliseconds);
    // No expired(); the deadline stays as it was.
    void stop();
    // Milliseconds left: 0 once passed, -1 when never started.
    qint64 remainingTime() const;

signals:
    void expired();

private:
    void arm();

    QTimer timer;
    QDeadlineTimer deadline{ QDeadlineTimer::Forever };
};

#endif // LONGTIMER_H
