#include "uploadfiles.h"

#include "fileuploadoptions.h"
#include "pathcheck.h"
#include "uploadarguments.h"

#include <QJsonObject>
#include <QString>

bool UploadFiles::open(const FileUploadOptions &options, QByteArray *line, ExitStatus *status)
{
    *status = ExitStatus::Usage;
    *line = pathProblem(options);
    if (!line->isEmpty())
        return false;
    if (!inputFile.open(options.filePath)) {
        *status = ExitStatus::Failure;
        *line = " >> Cannot Open input file. ";
        return false;
    }
    chunks = ChunkLayout(inputFile.size(), options.chunkSize);
    const QByteArray problem = options.urlTemplate.problem(chunks);
    if (!problem.isEmpty()) {
        *line = " >> Invalid URL_TEMPLATE: " + problem + ' ';
        return false;
    }
    return openJournal(options, line);
}

InputFile &UploadFiles::input()
{
    return inputFile;
}

const ChunkLayout &UploadFiles::layout() const
{
    return chunks;
}

UploadJournal &UploadFiles::journal()
{
    return uploadJournal;
}

ResultWriter &UploadFiles::results()
{
    return resultWriter;
}

// Nothing is created, cut or read until the three paths are known to be
// three files, and no link of a stranger's is followed.
QByteArray UploadFiles::pathProblem(const FileUploadOptions &options) const
{
    const QByteArray journalLine = " >> Journal not usable: \"" + options.journalPath + "\" ";
    const QByteArray resultLine = " >> Cannot write --result: \"" + options.resultPath + "\" ";
    const QByteArray foreign = "is a link of another user in a shared directory ";
    if (PathCheck::isForeignLink(options.journalPath))
        return journalLine + foreign;
    if (PathCheck::isSameFile(options.journalPath, options.filePath))
        return journalLine + "is FILE itself ";
    if (options.resultPath.isEmpty() || options.resultPath == "-")
        return QByteArray();
    if (PathCheck::isForeignLink(options.resultPath))
        return resultLine + foreign;
    if (PathCheck::isSameFile(options.resultPath, options.filePath))
        return resultLine + "is FILE itself ";
    if (PathCheck::isSameFile(options.resultPath, options.journalPath))
        return resultLine + "is the journal ";
    return QByteArray();
}

// The result is opened between reading the journal and writing it, so that a
// refused --result leaves the journal as it was.
bool UploadFiles::openJournal(const FileUploadOptions &options, QByteArray *line)
{
    QJsonObject header = inputFile.identity();
    header.insert(QStringLiteral("chunk_size"), double(options.chunkSize));
    // The journal is a file like any other: no password in it.
    header.insert(QStringLiteral("template"), QString::fromUtf8(UploadArguments::withoutPassword(options.urlTemplate.text())));
    QByteArray problem;
    const UploadJournal::Opening opening = uploadJournal.open(options.journalPath, header, options.restart, &problem);
    if (opening != UploadJournal::Opening::Opened) {
        const bool mismatch = opening == UploadJournal::Opening::Mismatch;
        *line = " >> Journal not usable: " + problem + (mismatch ? "; --restart sends every chunk again " : " ");
        return false;
    }
    const QDeadlineTimer runDeadline(options.settings.maxTime > 0 ? options.settings.maxTime * qint64(1000) : -1);
    if (!options.resultPath.isEmpty() && !resultWriter.openForAppends(options.resultPath, runDeadline)) {
        *line = " >> Cannot write --result: \"" + options.resultPath + "\" " + (resultWriter.lacksReader() ? "is a FIFO without a reader " : "");
        return false;
    }
    if (!uploadJournal.begin(&problem)) {
        *line = " >> Journal not usable: " + problem + ' ';
        return false;
    }
    return true;
}
