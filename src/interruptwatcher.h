#ifndef INTERRUPTWATCHER_H
#define INTERRUPTWATCHER_H

#include "exitstatus.h"

#include <QObject>

class QSocketNotifier;

// Turns SIGHUP, SIGINT and SIGTERM into a signal of the event loop: a handler
// may do no more than write a byte to a pipe. A signal the caller ignored
// stays ignored, as a shell's background job expects; once caught, a signal
// stays caught, its pipe open, until the process ends, so that nothing
// after the summary changes how the run ended.
class InterruptWatcher : public QObject
{
    Q_OBJECT

public:
    explicit InterruptWatcher(QObject *parent = nullptr);

    // While set, a signal ends the process at once with its status: for a
    // write that blocks outside the event loop, as on a FIFO that is not read.
    static void setEndAtOnce(bool atOnce);

signals:
    // With the status a shell gives for the signal: 129, 130 or 143.
    void interrupted(ExitStatus status);

private:
    void readSignal();

    QSocketNotifier *notifier = nullptr;
};

#endif // INTERRUPTWATCHER_H
