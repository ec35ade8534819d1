#include "ownedprocess.h"

#include <csignal>

#include <sys/prctl.h>
#include <unistd.h>

namespace {

pid_t testProcess = 0;

// In the child, between fork and exec: only system calls.
void dieWithTestProcess()
{
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    // The test process may have ended before the line above.
    if (::getppid() != testProcess)
        ::_exit(127);
}

} // namespace

OwnedProcess::OwnedProcess(QObject *parent)
    : QProcess(parent)
{
    testProcess = ::getpid();
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    setChildProcessModifier(dieWithTestProcess);
#endif
}

OwnedProcess::~OwnedProcess()
{
    stop();
}

void OwnedProcess::stop()
{
    if (state() == QProcess::NotRunning)
        return;
    kill();
    waitForFinished(30000);
}

#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
void OwnedProcess::setupChildProcess()
{
    dieWithTestProcess();
}
#endif
