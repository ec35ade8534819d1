#include "resourcelimits.h"

#include "consolemessage.h"

#include <sys/resource.h>

namespace {

bool ensureLimit(int resource, qint64 requiredKilobytes, const char *name, QString *failure)
{
    const rlim_t required = rlim_t(requiredKilobytes) * 1024;
    struct rlimit limit = {};
    if (getrlimit(resource, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= required)
        return true;
    if (limit.rlim_max == RLIM_INFINITY || limit.rlim_max >= required) {
        // The user's limit stays as close as the run allows.
        limit.rlim_cur = required;
        if (setrlimit(resource, &limit) == 0)
            return true;
    }
    ConsoleMessage(failure) << name << qint64(limit.rlim_max / 1024) << "kB, the upload needs" << requiredKilobytes << "kB";
    return false;
}

} // namespace

bool ResourceLimits::ensureRequired(QString *failure)
{
    return ensureLimit(RLIMIT_AS, requiredAddressSpaceKilobytes, " >> Address space limit too low:", failure)
           && ensureLimit(RLIMIT_DATA, requiredDataKilobytes, " >> Data segment limit too low:", failure)
           && ensureLimit(RLIMIT_STACK, requiredStackKilobytes, " >> Stack limit too low:", failure);
}
