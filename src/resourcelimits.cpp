#include "resourcelimits.h"

#include "consolemessage.h"
#include "jsonscript.h"

#include <csignal>

#include <pthread.h>
#include <sys/resource.h>

namespace {

enum class Unit { Kilobytes, Files };

bool ensureLimit(int resource, qint64 required, Unit unit, const char *name, QByteArray *failure, bool report)
{
    const rlim_t scale = unit == Unit::Kilobytes ? 1024 : 1;
    const rlim_t needed = rlim_t(required) * scale;
    struct rlimit limit = {};
    if (getrlimit(resource, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= needed)
        return true;
    if (limit.rlim_max == RLIM_INFINITY || limit.rlim_max >= needed) {
        // The user's limit stays as close as the run allows.
        limit.rlim_cur = needed;
        if (setrlimit(resource, &limit) == 0)
            return true;
    }
    const bool kilobytes = unit == Unit::Kilobytes;
    if (report)
        ConsoleMessage(failure) << name << qint64(limit.rlim_max / scale) << (kilobytes ? "kB, the upload needs" : "files, the upload needs")
                            << required << (kilobytes ? "kB" : "files");
    return false;
}

// glibc sizes new threads' stacks from the soft limit as it was at start-up,
// before it was raised: Qt's network thread crashed under 16 KiB.
void ensureThreadStack(size_t needed)
{
    pthread_attr_t attributes;
    if (pthread_getattr_default_np(&attributes) != 0)
        return;
    size_t size = 0;
    if (pthread_attr_getstacksize(&attributes, &size) == 0 && size < needed && pthread_attr_setstacksize(&attributes, needed) == 0)
        pthread_setattr_default_np(&attributes);
    pthread_attr_destroy(&attributes);
}

} // namespace

bool ResourceLimits::ensureRequired(QByteArray *failure, qint64 openFiles, bool report)
{
    // A write past the file-size limit fails and is reported, as any other.
    std::signal(SIGXFSZ, SIG_IGN);
    const bool enough =
        ensureLimit(RLIMIT_AS, JsonScript::requiredAddressSpaceKilobytes, Unit::Kilobytes, " >> Address space limit too low:", failure, report)
        && ensureLimit(RLIMIT_DATA, JsonScript::requiredDataKilobytes, Unit::Kilobytes, " >> Data segment limit too low:", failure, report)
        && ensureLimit(RLIMIT_STACK, JsonScript::requiredStackKilobytes, Unit::Kilobytes, " >> Stack limit too low:", failure, report)
        && ensureLimit(RLIMIT_NOFILE, openFiles, Unit::Files, " >> Open files limit too low:", failure, report)
        && ensureLimit(RLIMIT_FSIZE, JsonScript::requiredFileSizeKilobytes, Unit::Kilobytes, " >> File size limit too low:", failure, report);
    if (enough)
        ensureThreadStack(size_t(JsonScript::requiredStackKilobytes) * 1024);
    return enough;
}
