#ifndef TINYPROXYPROCESS_H
#define TINYPROXYPROCESS_H

#include "proxyprocess.h"

// tinyproxy, open to all, closed to all, or asking for Basic credentials.
class TinyproxyProcess : public ProxyProcess
{
public:
    enum Policy { AllowAll, DenyAll, BasicAuth };
    // The credentials BasicAuth asks for.
    static const char user[];
    static const char password[];

    explicit TinyproxyProcess(Policy policy = AllowAll);
};

#endif // TINYPROXYPROCESS_H
