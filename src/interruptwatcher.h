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

    // Readable once a signal came that the loop has not taken yet: a wait
    // outside the loop polls it too, and ends.
    static int wakeDescriptor();

signals:
    // With the status a shell gives for the signal: 129, 130 or 143.
    void interrupted(ExitStatus status);

private:
    void readSignal();

    QSocketNotifier *notifier = nullptr;
};

#endif // INTERRUPTWATCHER_H
