#include "uploadfiles.h"

#include "fileuploadoptions.h"
#include "pathcheck.h"
#include "rangedevice.h"
#include "uploadarguments.h"

#include <QJsonObject>
#include <QString>

#include <sys/stat.h>
#include <unistd.h>

bool UploadFiles::open(const FileUploadOptions &options, const QDeadlineTimer &deadline, QByteArray *line, ExitStatus *status)
{
    *status = ExitStatus::Usage;
    *line = journalProblem(options);
    const QByteArray resultLine = resultProblem(options);
    if (line->isEmpty())
        *line = resultLine;
    // Opened, neither cut nor created, so that a run refused from here on ends it with its own summary.
    if (resultLine.isEmpty() && !options.resultPath.isEmpty() && !resultWriter.openForAppends(options.resultPath, deadline)) {
        if (line->isEmpty())
            *line = " >> Cannot write --result: \"" + options.resultPath + "\" " + resultWriter.refusalReason();
    }
    if (!line->isEmpty())
        return false;
    givenPath = options.filePath;
    if (options.several)
        return openList(options, deadline, line, status);
    if (options.stream) {
        chunks = ChunkLayout(0, options.chunkSize);
        return openStream(options, deadline, line, status);
    }
    const InputFile::Opening input = inputFile.open(options.filePath);
    if (input != InputFile::Opening::Opened) {
        *status = ExitStatus::Failure;
        *line = input == InputFile::Opening::Unopenable ? " >> Cannot Open input file. " : " >> Cannot read input file: its size is 0 but it holds bytes ";
        return false;
    }
    chunks = ChunkLayout(inputFile.size(), options.chunkSize);
    const QByteArray problem = options.urlTemplate.problem(chunks, givenPath);
    if (!problem.isEmpty()) {
        *line = " >> Invalid URL_TEMPLATE: " + problem + ' ';
        return false;
    }
    return openJournal(options, deadline, line, status);
}

// The template, the memory and the journal are checked before the stream is
// opened: a FIFO's writer is never let in by a run that will not read it.
bool UploadFiles::openStream(const FileUploadOptions &options, const QDeadlineTimer &deadline, QByteArray *line, ExitStatus *status)
{
    const QByteArray problem = options.urlTemplate.streamProblem(options.chunkSize);
    if (!problem.isEmpty()) {
        *line = " >> Invalid URL_TEMPLATE: " + problem + ' ';
        return false;
    }
    const QByteArray memory = InputStream::memoryProblem(options.chunkSize, options.parallel);
    if (!memory.isEmpty()) {
        *line = " >> Not enough memory: " + memory + ' ';
        return false;
    }
    if (!readJournal(options, deadline, line, status))
        return false;
    // A dry run reads no stream: what it read would be lost to the run after it.
    // A buffer for each transfer: the chunk after one stored is read into its
    // buffer, and a spare would add a chunk to memory for no measurable speed.
    if (!options.dryRun)
        inputStream.reset(new InputStream(options.chunkSize, options.parallel, !options.journalPath.isEmpty()));
    const InputStream::Opening opening = options.dryRun ? InputStream::look(options.filePath) : inputStream->open(options.filePath);
    if (opening == InputStream::Opening::Terminal) {
        *line = " >> Input file is a terminal: pipe the data in, or name a file ";
        return false;
    }
    if (opening != InputStream::Opening::Opened) {
        *status = ExitStatus::Failure;
        *line = " >> Cannot Open input file. ";
        return false;
    }
    return beginJournal(options, line);
}

// Every file is checked, and the journal read, before anything is written or
// sent; a file is opened only when its chunks come up.
bool UploadFiles::openList(const FileUploadOptions &options, const QDeadlineTimer &deadline, QByteArray *line, ExitStatus *status)
{
    files.reset(new FileList);
    const QByteArray text = options.urlTemplate.text();
    QByteArray refusal = files->check(options.filePaths, options.journalPath);
    if (refusal.isEmpty() && text.contains("{name}") && !text.contains("{path}"))
        refusal = files->sharedName();
    if (!refusal.isEmpty()) {
        *line = " >> " + refusal + ' ';
        return false;
    }
    chunks = ChunkLayout(0, options.chunkSize);
    const FileList::Entry *const first = &files->entries().front();
    const FileList::Entry *largest = first;
    for (const FileList::Entry &entry : files->entries()) {
        const ChunkLayout layout(entry.status.st_size, options.chunkSize);
        listChunks += layout.count();
        listSize += layout.fileSize();
        if (entry.status.st_size > largest->status.st_size)
            largest = &entry;
    }
    // The figures of the largest file are the largest any address holds.
    for (const FileList::Entry *entry : { first, largest }) {
        const QByteArray problem = options.urlTemplate.problem(ChunkLayout(entry->status.st_size, options.chunkSize), entry->path, true);
        if (!problem.isEmpty()) {
            *line = " >> Invalid URL_TEMPLATE: " + problem + ' ';
            return false;
        }
    }
    // A name may make an address unusable ({name} in the host): found before any file is sent.
    for (const FileList::Entry &entry : files->entries()) {
        const ChunkLayout layout(entry.status.st_size, options.chunkSize);
        const QByteArray problem = UrlTemplate::addressProblem(options.urlTemplate.address(layout, 0, entry.path));
        if (!problem.isEmpty()) {
            *line = " >> Invalid URL_TEMPLATE: \"" + FileList::shown(entry.path) + "\": " + problem + ' ';
            return false;
        }
    }
    if (!readJournal(options, deadline, line, status))
        return false;
    QByteArray problem;
    for (FileList::Entry &entry : files->entries()) {
        const QJsonObject identity = InputFile::identityOf(entry.path, entry.status);
        entry.journalNumber = uploadJournal.recordedFile(entry.path);
        if (entry.journalNumber < 0) {
            entry.journalNumber = uploadJournal.addFile(entry.path, identity);
            continue;
        }
        problem = uploadJournal.identityProblem(entry.journalNumber, identity);
        if (!problem.isEmpty()) {
            *line = " >> Journal not usable: \"" + FileList::shown(entry.path) + "\": " + problem + "; --restart sends every chunk again ";
            return false;
        }
    }
    return options.dryRun || beginJournal(options, line);
}

UploadFiles::Next UploadFiles::nextListed(Chunk *chunk, RangeDevice **body, QByteArray *line)
{
    std::vector<FileList::Entry> &entries = files->entries();
    for (; currentFile < entries.size(); ++currentFile) {
        FileList::Entry &entry = entries[currentFile];
        const ChunkLayout layout(entry.status.st_size, chunks.chunkSize());
        while (!entry.stopped && entry.nextIndex < layout.count() && uploadJournal.isStored(entry.journalNumber, entry.nextIndex))
            ++entry.nextIndex;
        entry.stopped = entry.stopped || entry.nextIndex == layout.count();
        if (entry.stopped) {
            FileList::closeIfDone(&entry);
            continue;
        }
        chunk->file = qint64(currentFile);
        if (!entry.input) {
            *line = files->open(&entry);
            if (!line->isEmpty()) {
                entry.stopped = true;
                ++currentFile;
                return Next::FileFailed;
            }
        }
        chunk->index = entry.nextIndex++;
        chunk->start = layout.start(chunk->index);
        chunk->end = layout.end(chunk->index);
        ++entry.inFlight;
        *body = new RangeDevice(entry.input->descriptor(), RangeDevice::Ownership::Shared, chunk->start, chunk->end - chunk->start, nullptr);
        (*body)->setChecksumEnabled(true);
        return Next::Ready;
    }
    return Next::Ended;
}

// A file's chunks are cut by range and read as they are sent; a stream's
// come whole as it is read.
UploadFiles::Next UploadFiles::next(Chunk *chunk, RangeDevice **body, qint64 *skipped, QByteArray *line)
{
    if (files)
        return nextListed(chunk, body, line);
    if (!inputStream) {
        while (nextIndex < chunks.count() && uploadJournal.isStored(nextIndex))
            ++nextIndex;
        if (nextIndex == chunks.count())
            return Next::Ended;
        chunk->index = nextIndex++;
        chunk->start = chunks.start(chunk->index);
        chunk->end = chunks.end(chunk->index);
        *body = new RangeDevice(inputFile.descriptor(), RangeDevice::Ownership::Shared, chunk->start, chunk->end - chunk->start, nullptr);
        (*body)->setChecksumEnabled(true);
        return Next::Ready;
    }
    InputStream::Chunk piece;
    qint64 length = 0;
    quint32 crc = 0;
    // A stream that ends before the chunks the journal holds is not the one stored either.
    const auto endedEarly = [line](qint64 position) {
        *line = " >> The input ended after " + QByteArray::number(position)
                + " Byte, before the chunks the journal recorded: it differs from the one the journal recorded ";
        return Next::Failed;
    };
    while (inputStream->take(&piece)) {
        // A short chunk is the stream's last: sent, it would sit in the journal before longer ones.
        if (piece.length < chunks.chunkSize() && uploadJournal.streamChunksRecorded() > piece.index + 1) {
            inputStream->release(piece.buffer);
            return endedEarly(piece.start + piece.length);
        }
        if (!uploadJournal.storedStreamChunk(piece.index, &length, &crc)) {
            chunk->index = piece.index;
            chunk->start = piece.start;
            chunk->end = piece.start + piece.length;
            chunk->buffer = piece.buffer;
            chunk->checksummed = true;
            chunk->crc32 = piece.crc32;
            *body = new RangeDevice(piece.bytes, piece.length, nullptr);
            return Next::Ready;
        }
        // A chunk the journal holds is checked, not sent: the stream read again must be the one stored.
        inputStream->release(piece.buffer);
        if (length != piece.length || crc != piece.crc32) {
            *line = " >> Chunk " + QByteArray::number(piece.index) + " [" + QByteArray::number(piece.start) + ", "
                    + QByteArray::number(piece.start + piece.length) + "): the input differs from the one the journal recorded ";
            return Next::Failed;
        }
        ++*skipped;
    }
    if (!inputStream->failure().isEmpty()) {
        *line = " >> " + inputStream->failure() + ' ';
        return Next::Failed;
    }
    if (!inputStream->isDrained())
        return Next::Waiting;
    if (uploadJournal.streamChunksRecorded() > inputStream->chunksRead())
        return endedEarly(inputStream->position());
    return Next::Ended;
}

void UploadFiles::release(const Chunk &chunk)
{
    if (inputStream)
        inputStream->release(chunk.buffer);
    if (files && chunk.file >= 0) {
        FileList::Entry &entry = files->entries()[size_t(chunk.file)];
        --entry.inFlight;
        FileList::closeIfDone(&entry);
    }
}

// A stream's layout ends with the chunk: its figures are the same.
QByteArray UploadFiles::address(const UrlTemplate &urlTemplate, const Chunk &chunk) const
{
    if (files) {
        const FileList::Entry &entry = files->entries()[size_t(chunk.file)];
        return urlTemplate.address(ChunkLayout(entry.status.st_size, chunks.chunkSize()), chunk.index, entry.path);
    }
    return urlTemplate.address(inputStream ? ChunkLayout(chunk.end, chunks.chunkSize()) : chunks, chunk.index, givenPath);
}

qint64 UploadFiles::chunkCount() const
{
    return files ? listChunks : inputStream ? inputStream->chunksRead() : chunks.count();
}

qint64 UploadFiles::size() const
{
    return files ? listSize : inputStream ? -1 : chunks.fileSize();
}

bool UploadFiles::isUnchanged(const Chunk &chunk) const
{
    if (files) {
        const FileList::Entry &entry = files->entries()[size_t(chunk.file)];
        return entry.input && entry.input->isUnchanged();
    }
    return inputStream || inputFile.isUnchanged();
}

void UploadFiles::countJournaled(qint64 *skipped, qint64 *bytesToSend)
{
    if (inputStream)
        return;
    const auto count = [&](const ChunkLayout &layout, qint64 file) {
        qint64 toSend = 0;
        for (qint64 index = 0; index < layout.count(); ++index) {
            if (file < 0 ? uploadJournal.isStored(index) : uploadJournal.isStored(file, index))
                ++*skipped;
            else
                toSend += layout.end(index) - layout.start(index);
        }
        *bytesToSend += toSend;
        return layout.fileSize() - toSend;
    };
    if (!files) {
        count(chunks, -1);
        return;
    }
    for (FileList::Entry &entry : files->entries()) {
        const qint64 before = *skipped;
        entry.bytesDone = count(ChunkLayout(entry.status.st_size, chunks.chunkSize()), entry.journalNumber);
        entry.skipped = *skipped - before;
    }
}

qint64 UploadFiles::journalNumber(const Chunk &chunk) const
{
    return files ? files->entries()[size_t(chunk.file)].journalNumber : -1;
}

FileList *UploadFiles::list()
{
    return files.data();
}

void UploadFiles::stopFile(qint64 file)
{
    FileList::Entry &entry = files->entries()[size_t(file)];
    entry.stopped = true;
    FileList::closeIfDone(&entry);
}

void UploadFiles::startReading(QObject *context, const std::function<void()> &changed)
{
    if (!inputStream)
        return;
    QObject::connect(inputStream.data(), &InputStream::changed, context, changed);
    inputStream->setCheckedOnly([this](qint64 index) {
        qint64 length = 0;
        quint32 crc = 0;
        return uploadJournal.storedStreamChunk(index, &length, &crc);
    });
    inputStream->start();
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

namespace {

// Standard output or error as a file another path may name (> log).
bool isRegularStream(int descriptor)
{
    struct stat status = {};
    return ::fstat(descriptor, &status) == 0 && S_ISREG(status.st_mode);
}

bool isStream(const QByteArray &path, int descriptor)
{
    return isRegularStream(descriptor) && PathCheck::isSameFile(path, "/proc/self/fd/" + QByteArray::number(descriptor));
}

// "-" is standard input's pipe: --result /dev/stdin would feed the run its own lines and never end.
QByteArray inputPath(const FileUploadOptions &options)
{
    return options.filePath == "-" ? QByteArray("/proc/self/fd/0") : options.filePath;
}

} // namespace

// Nothing is created, cut or read until the three paths are known to be
// three files, and no link of a stranger's is followed.
QByteArray UploadFiles::journalProblem(const FileUploadOptions &options) const
{
    if (options.journalPath.isEmpty())
        return QByteArray();
    const QByteArray journalLine = " >> Journal not usable: \"" + options.journalPath + "\" ";
    if (PathCheck::isForeignLink(options.journalPath))
        return journalLine + "is a link of another user in a shared directory ";
    if (PathCheck::isSameFile(options.journalPath, inputPath(options)))
        return journalLine + "is FILE itself ";
    // The console's lines would go into the journal; "--result -" names standard output's own refusal.
    if (isStream(options.journalPath, STDERR_FILENO))
        return journalLine + "is standard error ";
    if (options.resultPath != "-" && isStream(options.journalPath, STDOUT_FILENO))
        return journalLine + "is standard output ";
    return QByteArray();
}

// Standard output counts as the file it is: "-" > FILE would write into the input.
QByteArray UploadFiles::resultProblem(const FileUploadOptions &options) const
{
    if (options.resultPath.isEmpty())
        return QByteArray();
    const QByteArray resultLine = " >> Cannot write --result: \"" + options.resultPath + "\" ";
    const bool standardOutput = options.resultPath == "-";
    struct stat output = {};
    if (standardOutput && (::fstat(STDOUT_FILENO, &output) != 0 || !S_ISREG(output.st_mode)))
        return QByteArray();
    const QByteArray result = standardOutput ? QByteArray("/proc/self/fd/1") : options.resultPath;
    if (!standardOutput && PathCheck::isForeignLink(result))
        return resultLine + "is a link of another user in a shared directory ";
    // Found before it is opened: a run refused appends its summary to --result.
    if (options.several && FileList::isListed(options.filePaths, result))
        return resultLine + "is one of the files ";
    if (PathCheck::isSameFile(result, inputPath(options)))
        return resultLine + "is FILE itself ";
    if (PathCheck::isSameFile(result, options.journalPath))
        return resultLine + "is the journal ";
    // A file cut at the start would lose the console's lines; "-" > log 2>&1 only interleaves them.
    if (!standardOutput && isStream(result, STDERR_FILENO))
        return resultLine + "is standard error ";
    return QByteArray();
}

// The journal is read before anything is written, and begun before --result
// is cut or created: a run refused on the way leaves every file as it was,
// and a journal this run created goes again when --result cannot be made.
// A dry run only asks whether both could be.
bool UploadFiles::openJournal(const FileUploadOptions &options, const QDeadlineTimer &deadline, QByteArray *line, ExitStatus *status)
{
    return readJournal(options, deadline, line, status) && beginJournal(options, line);
}

bool UploadFiles::readJournal(const FileUploadOptions &options, const QDeadlineTimer &deadline, QByteArray *line, ExitStatus *status)
{
    // A run over several files keeps their identities on lines of their own.
    QJsonObject header = files ? QJsonObject() : inputFile.identity();
    if (files)
        header.insert(QStringLiteral("files"), true);
    if (options.stream)
        header.insert(QStringLiteral("stream"), true);
    header.insert(QStringLiteral("chunk_size"), double(options.chunkSize));
    // The journal is a file like any other: no password in it.
    header.insert(QStringLiteral("template"), QString::fromUtf8(UploadArguments::withoutPassword(options.urlTemplate.text())));
    QByteArray problem;
    const UploadJournal::Opening opening = uploadJournal.open(options.journalPath, header, options.restart, &problem, deadline);
    if (opening == UploadJournal::Opening::TimedOut) {
        *status = ExitStatus::TemporaryFailure;
        *line = " >> Timed out: the run took over " + QByteArray::number(options.settings.maxTime) + " seconds ";
        return false;
    }
    if (opening != UploadJournal::Opening::Opened) {
        const bool mismatch = opening == UploadJournal::Opening::Mismatch;
        *line = " >> Journal not usable: " + problem + (mismatch ? "; --restart sends every chunk again " : " ");
        return false;
    }
    return true;
}

bool UploadFiles::beginJournal(const FileUploadOptions &options, QByteArray *line)
{
    QByteArray problem;
    // A dry run ends with the refusal the run would start with, and makes nothing.
    if (!(options.dryRun ? uploadJournal.canBegin(&problem) : uploadJournal.begin(&problem))) {
        *line = " >> Journal not usable: " + problem + ' ';
        return false;
    }
    if (!options.resultPath.isEmpty() && !(options.dryRun ? resultWriter.canStartAppends() : resultWriter.startAppends())) {
        uploadJournal.discard();
        *line = " >> Cannot write --result: \"" + options.resultPath + "\" ";
        return false;
    }
    return true;
}
