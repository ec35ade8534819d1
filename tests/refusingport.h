#ifndef REFUSINGPORT_H
#define REFUSINGPORT_H

#include <QtGlobal>

// A loopback port bound and never listened on while this lives: connecting
// to it is refused, and no other process can take it meanwhile.
class RefusingPort
{
public:
    RefusingPort();
    ~RefusingPort();

    RefusingPort(const RefusingPort &) = delete;
    RefusingPort &operator=(const RefusingPort &) = delete;

    quint16 port() const { return boundPort; }

private:
    int descriptor = -1;
    quint16 boundPort = 0;
};

#endif // REFUSINGPORT_H
