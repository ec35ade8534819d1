#ifndef PROGRESS_H
#define PROGRESS_H

#include <QByteArray>

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

    // What a terminal's status line shows of a run.
    struct Figures
    {
        qint64 done = 0;
        // -1 for a stream: no percentage, no bar, no time left.
        qint64 total = -1;
        double bytesPerSecond = 0;
        int inFlight = 0;
        int retrying = 0;
    };

    explicit Progress(Steps steps);

    // The status line within width columns, its last one left free: the bar
    // goes first, then the figures a reader needs least.
    static QByteArray statusLine(const Figures &figures, int width);
    // Binary units, one decimal: "512 B", "1.5 KiB", "27.0 MiB".
    static QByteArray size(double bytes);
    // h:mm:ss
    static QByteArray clockTime(qint64 seconds);

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
