#include "standardstreams.h"

#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

void StandardStreams::openClosed()
{
    for (int descriptor = STDIN_FILENO; descriptor <= STDERR_FILENO; ++descriptor) {
        if (::fcntl(descriptor, F_GETFD) >= 0 || errno != EBADF)
            continue;
        // The lowest free number: this one, since those below are open.
        const int opened = ::open("/dev/null", descriptor == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (opened >= 0 && opened != descriptor)
            ::close(opened);
    }
}
