#ifndef UPLOADFILES_H
#define UPLOADFILES_H

#include "chunklayout.h"
#include "exitstatus.h"
#include "inputfile.h"
#include "inputstream.h"
#include "resultwriter.h"
#include "uploadjournal.h"

#include <QByteArray>
#include <QScopedPointer>

class FileUploadOptions;

// The files of an uploader-file run: the input, the journal and the result.
// Their paths are checked against each other before anything is created, cut
// or read, and a run refused at any step leaves every file as it found it.
class UploadFiles
{
public:
    // Answers false, with the line to print and the status, when the run
    // cannot start; --result may then be open, for the run's summary. The
    // journal is read, and a FIFO's reader waited for, until the deadline.
    bool open(const FileUploadOptions &options, const QDeadlineTimer &deadline, QByteArray *line, ExitStatus *status);

    InputFile &input();
    // The input when FILE is a stream, or null.
    InputStream *stream() const;
    const ChunkLayout &layout() const;
    UploadJournal &journal();
    ResultWriter &results();

private:
    QByteArray journalProblem(const FileUploadOptions &options) const;
    QByteArray resultProblem(const FileUploadOptions &options) const;
    bool openJournal(const FileUploadOptions &options, const QDeadlineTimer &deadline, QByteArray *line, ExitStatus *status);

    bool openStream(const FileUploadOptions &options, QByteArray *line, ExitStatus *status);

    InputFile inputFile;
    QScopedPointer<InputStream> inputStream;
    ChunkLayout chunks{ 0, 1 };
    UploadJournal uploadJournal;
    ResultWriter resultWriter;
};

#endif // UPLOADFILES_H
