#include "interruptwatcher.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <unistd.h>

namespace {

int pipeEnds[2] = { -1, -1 };

void handleSignal(int number)
{
    const int saved = errno;
    const char byte = char(number);
    const ssize_t written = ::write(pipeEnds[1], &byte, 1);
    (void)written;
    errno = saved;
}

} // namespace

InterruptWatcher::InterruptWatcher(QObject *parent)
    : QObject(parent)
{
    if (::pipe2(pipeEnds, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    notifier = new QSocketNotifier(pipeEnds[0], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &InterruptWatcher::readSignal);
    struct sigaction action = {};
    action.sa_handler = handleSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int number : { SIGHUP, SIGINT, SIGTERM }) {
        struct sigaction before = {};
        if (::sigaction(number, nullptr, &before) == 0 && before.sa_handler != SIG_IGN)
            ::sigaction(number, &action, nullptr);
    }
}

int InterruptWatcher::wakeDescriptor()
{
    return pipeEnds[0];
}

void InterruptWatcher::readSignal()
{
    char byte = 0;
    while (::read(pipeEnds[0], &byte, 1) == 1)
        emit interrupted(byte == SIGINT ? ExitStatus::Interrupted : byte == SIGHUP ? ExitStatus::HungUp : ExitStatus::Terminated);
}
