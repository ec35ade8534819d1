#ifndef PROGRESS_H
#define PROGRESS_H

#include <QtGlobal>

// The progress lines of a transfer in steps of ten percent, each step shown once.
class Progress
{
public:
    enum class Steps {
        // uploader: a percentage that lands on a step, and any above 100, as " >> Progress:  50 ".
        Reached,
        // uploader-file: the step a percentage passes, with the size and the rate.
        Passed,
    };

    explicit Progress(Steps steps);

    // A new attempt counts from nothing again.
    void restart();
    void update(qint64 done, qint64 total, double megabytesPerSecond = 0);

private:
    Steps steps;
    // The highest percentage shown, or passed over, so far: uploader-file's
    // own to each filter; uploader's one for the process, whose one chunk
    // has one attempt at a time.
    int passedPercent = 0;
    static int lastPercent;
};

#endif // PROGRESS_H
