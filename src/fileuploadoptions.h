#ifndef FILEUPLOADOPTIONS_H
#define FILEUPLOADOPTIONS_H

#include "exitstatus.h"
#include "uploadsettings.h"
#include "urltemplate.h"

#include <QByteArray>
#include <QList>

// The command line and environment of uploader-file, checked before anything is read or sent.
class FileUploadOptions
{
public:
    // Answers false when the run ends here, with *status: 0 after --help or
    // --version, 2 after a line that says what is wrong.
    bool parse(int argc, char *argv[], ExitStatus *status);
    // What is said of a folder named as FILE, without the " >> " and the closing space.
    static QByteArray folderLine(const QByteArray &path);

    QByteArray filePath;
    // Every FILE and --files-from line, in order; filePath is the first.
    QList<QByteArray> filePaths;
    // More than one FILE, or --files-from: one journal, lines that name the file.
    bool several = false;
    // FILE is read in order, not by range: "-", a pipe, a FIFO, a device.
    bool stream = false;
    UrlTemplate urlTemplate;
    qint64 chunkSize = 8 << 20;
    int parallel = 4;
    // Per chunk, from its first attempt.
    int retryTime = 900;
    // Empty for none: a stream without --journal, standard input.
    QByteArray journalPath;
    bool restart = false;
    // "-" for standard output, empty for none.
    QByteArray resultPath;
    bool quiet = false;
    // Checks what a run checks and lists the chunks it would send; sends nothing, creates nothing.
    bool dryRun = false;
    // Each attempt's request and reply headers on standard error, secrets masked.
    bool verbose = false;
    // What every chunk is sent with: retries per chunk, the whole run's time and rate, the proxy, the token.
    UploadSettings settings;
};

#endif // FILEUPLOADOPTIONS_H
