#ifndef RESOURCELIMITS_H
#define RESOURCELIMITS_H

#include <QString>
#include <QtGlobal>

// The script engine that reads the reply needs memory and converts nested
// JSON recursively on the stack; under lower limits the run would crash after
// the chunk was sent. QtScript reserves 2 GiB when it starts, which counts
// against the address space and, since Linux 4.7, the data segment; QJSEngine
// maps little but takes more stack per level of nesting.
class ResourceLimits
{
public:
    // Raises a soft limit that is too low as far as the run needs, no
    // further; answers false and prints one line, also kept in *failure, when
    // a hard limit is too low.
    static bool ensureRequired(QString *failure);

#if QT_VERSION_MAJOR < 6
    // The engine's reservation and the rest of a run, with a margin.
    static constexpr qint64 requiredAddressSpaceKilobytes = 3 << 20;
    static constexpr qint64 requiredDataKilobytes = 3 << 20;
    // JSON nested to the depth the engine is given took between 256 and 384 KiB.
    static constexpr qint64 requiredStackKilobytes = 1 << 10;
#else
    // A run passed under 100 MB of address space and 30 MB of data; the
    // watchdog's memory bound and a 64 MiB reply, with a margin.
    static constexpr qint64 requiredAddressSpaceKilobytes = 1 << 20;
    static constexpr qint64 requiredDataKilobytes = 1 << 20;
    // JSON nested to the depth the engine is given took between 896 and 1024 KiB.
    static constexpr qint64 requiredStackKilobytes = 4 << 10;
#endif
};

#endif // RESOURCELIMITS_H
