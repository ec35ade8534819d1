#ifndef SQUIDPROCESS_H
#define SQUIDPROCESS_H

#include "proxyprocess.h"

// squid, asking for Digest credentials and nothing else.
class SquidProcess : public ProxyProcess
{
public:
    // The credentials it asks for.
    static const char user[];
    static const char password[];

    SquidProcess();
};

#endif // SQUIDPROCESS_H
