#ifndef TRANSFERREPORT_H
#define TRANSFERREPORT_H

#include <QtGlobal>

// The time and speed lines that end a run that sent its bytes.
class TransferReport
{
public:
    static void print(qint64 elapsedMilliseconds, qint64 bytes);
};

#endif // TRANSFERREPORT_H
