#ifndef STANDARDSTREAMS_H
#define STANDARDSTREAMS_H

// Standard input, output and error that a caller closed (2>&-) are opened on
// /dev/null before anything else, so that no file the program opens takes
// their numbers: the console would then go into the result file.
class StandardStreams
{
public:
    static void openClosed();
};

#endif // STANDARDSTREAMS_H
