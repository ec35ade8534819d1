#include "transferreport.h"

#include "consolemessage.h"

void TransferReport::print(qint64 elapsedMilliseconds, qint64 bytes)
{
    const double seconds = elapsedMilliseconds / 1000.0;
    const double speed = bytes * 8.0 / seconds / 1000000.0;
    ConsoleMessage() << "\n >> The uploading process took" << seconds << "Seconds";
    ConsoleMessage() << " >> The uploading Speed is" << speed << "Mb/Sec";
    ConsoleMessage() << " >> Bye...";
}
