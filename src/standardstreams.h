#ifndef STANDARDSTREAMS_H
#define STANDARDSTREAMS_H

// Standard input, output and error that a caller closed (2>&-) are opened on
// /dev/null before anything else, so that no file the program opens takes
// their numbers: the console would then go into the result file. A reader of
// either output that leaves fails a write, and never ends the run with
// SIGPIPE: the run's summary and status still come.
class StandardStreams
{
public:
    static void openClosed();
    // The caller had closed it: what is written there goes nowhere.
    static bool wasClosed(int descriptor);
};

#endif // STANDARDSTREAMS_H
