#ifndef EXITSTATUS_H
#define EXITSTATUS_H

// What the process tells a calling script by its status.
enum class ExitStatus {
    Success = 0,
    // Sending again will fail the same way.
    Failure = 1,
    // The command line or the environment is unusable; nothing was read or sent.
    Usage = 2,
    // Sending again later may succeed (EX_TEMPFAIL).
    TemporaryFailure = 75,
    // Ended by SIGHUP, SIGINT or SIGTERM, as a shell reports them.
    HungUp = 129,
    Interrupted = 130,
    Terminated = 143,
};

#endif // EXITSTATUS_H
