#ifndef INTERRUPTWATCHER_H
#define INTERRUPTWATCHER_H

#include "exitstatus.h"

#include <QObject>

class QSocketNotifier;

// Turns SIGINT and SIGTERM into a signal of the event loop: a handler may do
// no more than write a byte to a pipe.
class InterruptWatcher : public QObject
{
    Q_OBJECT

public:
    explicit InterruptWatcher(QObject *parent = nullptr);
    ~InterruptWatcher() override;

signals:
    // With the status a shell gives for the signal: 130 or 143.
    void interrupted(ExitStatus status);

private:
    void readSignal();

    QSocketNotifier *notifier = nullptr;
};

#endif // INTERRUPTWATCHER_H
