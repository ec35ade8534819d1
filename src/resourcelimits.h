#ifndef RESOURCELIMITS_H
#define RESOURCELIMITS_H

#include <QByteArray>

// The limits a run needs, checked before anything is read or sent: under
// lower ones it would crash or be killed after the chunk was sent. The script
// engine that reads the reply needs memory, stack for nested JSON and, on
// Qt 6, file size; Qt and GLib need descriptors for their threads' wake-ups.
class ResourceLimits
{
public:
    // Raises a soft limit that is too low as far as the run needs, no
    // further, and gives threads started later a stack that size; a limit
    // on file size makes a write fail rather than kill the process. Answers
    // false and prints one line, also kept in *failure, when a hard limit is
    // too low.
    // openFiles: the descriptors the run needs; 0 leaves them unchecked.
    // Without report, nothing is printed: a run refused for another reason
    // says only that.
    static bool ensureRequired(QByteArray *failure, qint64 openFiles = requiredOpenFiles, bool report = true);

    // Measured: a run over http needed 10 (Qt 5) and 8 (Qt 6).
    static constexpr qint64 requiredOpenFiles = 64;
};

#endif // RESOURCELIMITS_H
