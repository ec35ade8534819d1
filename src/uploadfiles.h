#ifndef UPLOADFILES_H
#define UPLOADFILES_H

#include "chunklayout.h"
#include "exitstatus.h"
#include "inputfile.h"
#include "resultwriter.h"
#include "uploadjournal.h"

#include <QByteArray>

class FileUploadOptions;

// The files of an uploader-file run: the input, the journal and the result.
// Their paths are checked against each other before anything is created, cut
// or read, and a run refused at any step leaves every file as it found it.
class UploadFiles
{
public:
    // Answers false, with the line to print and the status, when the run cannot start.
    bool open(const FileUploadOptions &options, QByteArray *line, ExitStatus *status);

    InputFile &input();
    const ChunkLayout &layout() const;
    UploadJournal &journal();
    ResultWriter &results();

private:
    QByteArray pathProblem(const FileUploadOptions &options) const;
    bool openJournal(const FileUploadOptions &options, QByteArray *line);

    InputFile inputFile;
    ChunkLayout chunks{ 0, 1 };
    UploadJournal uploadJournal;
    ResultWriter resultWriter;
};

#endif // UPLOADFILES_H
