#include "standardstreams.h"

#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <unistd.h>

namespace {

bool closedByCaller[3] = {};

} // namespace

void StandardStreams::openClosed()
{
    std::signal(SIGPIPE, SIG_IGN);
    for (int descriptor = STDIN_FILENO; descriptor <= STDERR_FILENO; ++descriptor) {
        if (::fcntl(descriptor, F_GETFD) >= 0 || errno != EBADF)
            continue;
        closedByCaller[descriptor] = true;
        // The lowest free number: this one, since those below are open.
        const int opened = ::open("/dev/null", descriptor == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (opened >= 0 && opened != descriptor)
            ::close(opened);
    }
}

bool StandardStreams::wasClosed(int descriptor)
{
    return descriptor >= STDIN_FILENO && descriptor <= STDERR_FILENO && closedByCaller[descriptor];
}
