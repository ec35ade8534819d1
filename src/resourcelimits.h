#ifndef RESOURCELIMITS_H
#define RESOURCELIMITS_H

#include <QString>

// The script engine that reads the reply reserves 2 GiB of memory when it
// starts, which counts against the address space and, since Linux 4.7, the
// data segment; it converts nested JSON recursively on the stack. Under lower
// limits the run would crash after the chunk was sent.
class ResourceLimits
{
public:
    // Raises a soft limit that is too low as far as the run needs, no
    // further; answers false and prints one line, also kept in *failure, when
    // a hard limit is too low.
    static bool ensureRequired(QString *failure);

    // The engine's reservation and the rest of a run, with a margin.
    static constexpr qint64 requiredAddressSpaceKilobytes = 3 << 20;
    static constexpr qint64 requiredDataKilobytes = 3 << 20;
    // JSON nested to the depth the engine is given took between 256 and 384 KiB.
    static constexpr qint64 requiredStackKilobytes = 1 << 10;
};

#endif // RESOURCELIMITS_H
