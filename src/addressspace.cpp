#include "addressspace.h"

#include "consolemessage.h"

#include <sys/resource.h>

bool AddressSpace::ensureRequired(QString *failure)
{
    const rlim_t required = rlim_t(requiredKilobytes) * 1024;
    struct rlimit limit = {};
    if (getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= required)
        return true;
    if (limit.rlim_max == RLIM_INFINITY || limit.rlim_max >= required) {
        limit.rlim_cur = limit.rlim_max;
        if (setrlimit(RLIMIT_AS, &limit) == 0)
            return true;
    }
    ConsoleMessage(failure) << " >> Address space limit too low:" << qint64(limit.rlim_max / 1024) << "kB, the upload needs"
                     << requiredKilobytes << "kB";
    return false;
}
