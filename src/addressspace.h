#ifndef ADDRESSSPACE_H
#define ADDRESSSPACE_H

#include <QString>

// The script engine that reads the reply reserves 2 GiB of address space when
// it starts, and crashes when it cannot: under a limit on the address space
// that would happen after the chunk was sent.
class AddressSpace
{
public:
    // Raises the soft limit to the hard one when that is needed; answers false
    // and prints one line, also kept in *failure, when even the hard limit is too low.
    static bool ensureRequired(QString *failure);

    // The engine's reservation and the rest of a run, with a margin.
    static const qint64 requiredKilobytes = 3 << 20;
};

#endif // ADDRESSSPACE_H
