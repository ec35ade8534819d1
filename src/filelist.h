#ifndef FILELIST_H
#define FILELIST_H

#include "exitstatus.h"
#include "inputfile.h"

#include <QByteArray>
#include <QList>

#include <memory>
#include <vector>

#include <sys/stat.h>

// The files of a run over several, each checked before anything is sent and
// opened only when its chunks come up: the descriptors open stay as few as
// the chunks in flight, whatever the list's length.
class FileList
{
public:
    struct Entry
    {
        QByteArray path;
        // As the check found it; the file opened later must still be this one.
        struct stat status = {};
        qint64 journalNumber = -1;
        // The next chunk to look at; every chunk is handed out once this is past the last, or the file stopped.
        qint64 nextIndex = 0;
        bool stopped = false;
        int inFlight = 0;
        qint64 stored = 0;
        qint64 skipped = 0;
        qint64 failed = 0;
        // The bytes of the chunks stored, in the journal or by this run.
        qint64 bytesDone = 0;
        // Failure once a chunk failed for good, or the file could not be read.
        ExitStatus ending = ExitStatus::Success;
        std::unique_ptr<InputFile> input;
    };

    // Answers the line (without " >> " and the closing space) that names the
    // first path that cannot be sent: missing, unreadable, not a regular
    // file, named twice, or the journal itself; empty when every one may be.
    QByteArray check(const QList<QByteArray> &paths, const QByteArray &journalPath);
    // Whether path names an existing file that one of the paths names too.
    static bool isListed(const QList<QByteArray> &paths, const QByteArray &path);
    // Two files whose last path segments are one would go to one address by {name}: the line that names them, or empty.
    QByteArray sharedName() const;
    std::vector<Entry> &entries();
    const std::vector<Entry> &entries() const;
    // Opens the entry's file; answers the line that says why it cannot be
    // sent when it is gone, unreadable or changed since the check.
    QByteArray open(Entry *entry) const;
    // Closes its file once no chunk of it is handed out or in flight.
    static void closeIfDone(Entry *entry);
    // The path as the console shows it: no control character reaches a terminal.
    static QByteArray shown(const QByteArray &path);

private:
    std::vector<Entry> files;
};

#endif // FILELIST_H
