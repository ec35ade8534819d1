#include "uploadjournal.h"

#include "filelock.h"
#include "journalline.h"
#include "pathcheck.h"

#include <QJsonDocument>
#include <QObject>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

const qint64 UploadJournal::longestLine = 1 << 20;

namespace {

// Sorted first by nothing but its place: a file that starts otherwise is not a journal.
const QByteArray mark = QByteArrayLiteral("{\"uploader_file_journal\":2");

// What tells a file from another and from its earlier self; "device" and "inode" are shown as "file".
const QStringList identityKeys = { QStringLiteral("size"), QStringLiteral("mtime_ns"), QStringLiteral("ctime_ns"), QStringLiteral("device"),
                                   QStringLiteral("inode") };

QByteArray differingKey(const QJsonObject &recorded, const QJsonObject &current, const QStringList &keys)
{
    for (const QString &key : keys) {
        if (recorded.value(key) != current.value(key)) {
            const QString name = key == QLatin1String("device") || key == QLatin1String("inode") ? QStringLiteral("file") : key;
            return "its " + name.toUtf8() + " differs from this run's";
        }
    }
    return QByteArray();
}

QByteArray compactIdentity(const QJsonObject &identity)
{
    QJsonObject members;
    for (const QString &key : identityKeys)
        members.insert(key, identity.value(key));
    return QJsonDocument(members).toJson(QJsonDocument::Compact);
}

bool writeAll(int descriptor, const QByteArray &bytes)
{
    qint64 written = 0;
    while (written < bytes.size()) {
        const ssize_t count = ::write(descriptor, bytes.constData() + written, size_t(bytes.size() - written));
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            return false;
        written += count;
    }
    return true;
}

// The new name is on disk only once its directory is.
bool syncDirectory(const QByteArray &path)
{
    const int slash = path.lastIndexOf('/');
    const QByteArray directory = slash < 0 ? QByteArray(".") : slash == 0 ? QByteArray("/") : path.left(slash);
    const int descriptor = ::open(directory.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (descriptor < 0)
        return false;
    const bool synced = ::fsync(descriptor) == 0;
    ::close(descriptor);
    return synced;
}

// "./a" and "a" are one file, as {path} shows them: a list made by find resumes what a glob sent.
QByteArray fileKey(const QByteArray &path)
{
    int from = 0;
    while (path.mid(from, 2) == "./")
        from += 2;
    return path.mid(from);
}

} // namespace

UploadJournal::~UploadJournal()
{
    if (flusher.joinable()) {
        {
            const std::lock_guard<std::mutex> lock(flushMutex);
            closing = true;
        }
        flushWanted.notify_one();
        flusher.join();
    }
    if (descriptor >= 0)
        ::close(descriptor);
}

QByteArray UploadJournal::headerLine(const QJsonObject &header)
{
    const QByteArray members = QJsonDocument(header).toJson(QJsonDocument::Compact);
    return mark + (header.isEmpty() ? QByteArray("}") : ',' + members.mid(1)) + '\n';
}

UploadJournal::Opening UploadJournal::open(const QByteArray &journalPath, const QJsonObject &journalHeader, bool restart,
                                           QByteArray *problem, const QDeadlineTimer &deadline)
{
    path = journalPath;
    header = journalHeader;
    layout = ChunkLayout(qint64(header.value(QStringLiteral("size")).toDouble()),
                         qint64(header.value(QStringLiteral("chunk_size")).toDouble()));
    stream = header.value(QStringLiteral("stream")).toBool();
    several = header.value(QStringLiteral("files")).toBool();
    if (path.isEmpty())
        return Opening::Opened;
    struct stat status = {};
    switch (PathCheck::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK, true, &descriptor, &status)) {
    case PathCheck::Found::File:
        break;
    case PathCheck::Found::Absent:
        content = Content::Absent;
        return Opening::Opened;
    case PathCheck::Found::NotRegular:
        *problem = '"' + path + "\" is not a journal and is left as it is";
        return Opening::NotJournal;
    case PathCheck::Found::ForeignLink:
        *problem = '"' + path + "\" is a link of another user in a shared directory";
        return Opening::Unusable;
    case PathCheck::Found::ForeignFile:
        *problem = '"' + path + "\" is a file of another user in a shared directory";
        return Opening::Unusable;
    case PathCheck::Found::Failed:
        *problem = "cannot open \"" + path + "\": " + QByteArray(strerror(errno));
        return Opening::Unusable;
    }
    if (!FileLock::take(descriptor)) {
        const qint64 holder = FileLock::holder(status);
        *problem = '"' + path + "\" is in use by another run" + (holder > 0 ? " (process " + QByteArray::number(holder) + ')' : QByteArray());
        return Opening::InUse;
    }
    QByteArray line;
    bool overlong = false;
    bool first = true;
    qint64 offset = 0;
    char buffer[1 << 16];
    for (;;) {
        const ssize_t count = ::pread(descriptor, buffer, sizeof buffer, offset);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0) {
            *problem = "cannot read \"" + path + '"';
            return Opening::Unusable;
        }
        if (count == 0)
            break;
        if (deadline.hasExpired())
            return Opening::TimedOut;
        offset += count;
        const char *from = buffer;
        const char *const end = buffer + count;
        while (from < end) {
            const char *feed = static_cast<const char *>(std::memchr(from, '\n', size_t(end - from)));
            const char *stop = feed ? feed : end;
            overlong = overlong || line.size() + (stop - from) > longestLine;
            if (overlong)
                line.clear();
            else
                line.append(from, int(stop - from));
            if (first && overlong) {
                *problem = '"' + path + "\" is not a journal and is left as it is";
                return Opening::NotJournal;
            }
            if (!feed)
                break;
            completeSize = offset - (end - feed - 1);
            if (first) {
                const Opening opening = readHeader(line, true, restart, problem);
                if (opening != Opening::Opened || content == Content::Fresh)
                    return opening;
                first = false;
            } else if (overlong) {
                ++ignored;
            } else {
                readChunk(line);
            }
            line.clear();
            overlong = false;
            from = feed + 1;
        }
    }
    if (first)
        return readHeader(line, false, restart, problem);
    return Opening::Opened;
}

// A header torn by a crash, after its mark, holds no chunk: the journal is
// started anew. A file of a few bytes without the whole mark may be anyone's.
UploadJournal::Opening UploadJournal::readHeader(const QByteArray &firstLine, bool complete, bool restart, QByteArray *problem)
{
    const QByteArray notJournal = '"' + path + "\" is not a journal and is left as it is";
    if (!complete) {
        if (!firstLine.isEmpty() && !firstLine.startsWith(mark)) {
            *problem = notJournal;
            return Opening::NotJournal;
        }
        content = Content::Fresh;
        return Opening::Opened;
    }
    const QJsonObject recorded = QJsonDocument::fromJson(firstLine).object();
    const bool earlier = !recorded.contains(QStringLiteral("uploader_file_journal")) && recorded.contains(QStringLiteral("chunk_size"))
                         && recorded.contains(QStringLiteral("template")) && recorded.contains(QStringLiteral("inode"));
    if (!firstLine.startsWith(mark) && !earlier) {
        *problem = notJournal;
        return Opening::NotJournal;
    }
    content = restart ? Content::Fresh : Content::Resumed;
    if (restart)
        return Opening::Opened;
    if (earlier) {
        *problem = "it was written by an earlier version";
        return Opening::Mismatch;
    }
    // A stream's journal names no file, a file's no stream: neither resumes the other.
    if (recorded.value(QStringLiteral("stream")) != header.value(QStringLiteral("stream"))) {
        *problem = stream ? "it is a file's journal, and FILE is a stream" : "it is a stream's journal, and FILE is a file";
        return Opening::Mismatch;
    }
    if (recorded.value(QStringLiteral("files")) != header.value(QStringLiteral("files"))) {
        *problem = several ? "it is one file's journal, and the run sends several" : "it is the journal of several files, and the run sends one";
        return Opening::Mismatch;
    }
    *problem = differingKey(recorded, header, identityKeys + QStringList{ QStringLiteral("chunk_size"), QStringLiteral("template") });
    return problem->isEmpty() ? Opening::Opened : Opening::Mismatch;
}

void UploadJournal::readChunk(const QByteArray &text)
{
    if (several) {
        readListed(text);
        return;
    }
    if (stream) {
        qint64 length = 0;
        quint32 crc = 0;
        const qint64 chunk = JournalLine::fromText(text).storedStreamChunk(layout.chunkSize(), &length, &crc);
        if (chunk < 0 || streamChunks.contains(chunk))
            ++ignored;
        else
            streamChunks.insert(chunk, qMakePair(length, crc));
        return;
    }
    const qint64 index = JournalLine::fromText(text).storedChunk(layout);
    if (index < 0) {
        ++ignored;
        return;
    }
    if (stored.size() <= size_t(index))
        stored.resize(size_t(index) + 1);
    stored[size_t(index)] = true;
}

// A file's line comes before its chunks' lines. Files are numbered by the
// place of their lines; a path recorded twice is found by its first.
void UploadJournal::readListed(const QByteArray &text)
{
    const JournalLine line = JournalLine::fromText(text);
    QByteArray filePath;
    QJsonObject identity;
    if (line.listedFile(&filePath, &identity)) {
        const QByteArray key = fileKey(filePath);
        if (fileNumbers.contains(key))
            ++ignored;
        else
            fileNumbers.insert(key, qint64(files.size()));
        files.push_back(RecordedFile{ compactIdentity(identity), qint64(identity.value(QStringLiteral("size")).toDouble()), {} });
        return;
    }
    const qint64 file = line.file();
    const qint64 index = file >= 0 && size_t(file) < files.size()
                             ? line.storedChunk(ChunkLayout(files[size_t(file)].size, layout.chunkSize()))
                             : -1;
    if (index < 0) {
        ++ignored;
        return;
    }
    std::vector<bool> &stored = files[size_t(file)].stored;
    if (stored.size() <= size_t(index))
        stored.resize(size_t(index) + 1);
    stored[size_t(index)] = true;
}

qint64 UploadJournal::recordedFile(const QByteArray &filePath) const
{
    return fileNumbers.value(fileKey(filePath), -1);
}

QByteArray UploadJournal::identityProblem(qint64 file, const QJsonObject &identity) const
{
    return differingKey(QJsonDocument::fromJson(files[size_t(file)].identity).object(), identity, identityKeys);
}

qint64 UploadJournal::addFile(const QByteArray &filePath, const QJsonObject &identity)
{
    addedFiles += JournalLine::fileLine(filePath, identity).toJson() + '\n';
    fileNumbers.insert(fileKey(filePath), qint64(files.size()));
    files.push_back(RecordedFile{ compactIdentity(identity), qint64(identity.value(QStringLiteral("size")).toDouble()), {} });
    return qint64(files.size()) - 1;
}

bool UploadJournal::isStored(qint64 file, qint64 index) const
{
    if (file < 0 || size_t(file) >= files.size())
        return false;
    const std::vector<bool> &stored = files[size_t(file)].stored;
    return index >= 0 && size_t(index) < stored.size() && stored[size_t(index)];
}

bool UploadJournal::begin(QByteArray *problem)
{
    bool ready = true;
    if (path.isEmpty()) {
        ready = true;
    } else if (content == Content::Absent) {
        // O_EXCL follows no link: the file is this run's own.
        descriptor = ::open(path.constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        content = descriptor >= 0 ? Content::Created : Content::Absent;
        ready = descriptor >= 0 && FileLock::take(descriptor) && writeAll(descriptor, headerLine(header) + addedFiles)
                && ::fsync(descriptor) == 0 && syncDirectory(path);
        // A full disk leaves no empty journal behind.
        if (!ready && descriptor >= 0) {
            const int error = errno;
            discard();
            errno = error;
        }
    } else if (content == Content::Fresh) {
        stored.clear();
        streamChunks.clear();
        // Whatever it was before, it now holds what a journal holds.
        ready = ::fcntl(descriptor, F_SETFL, 0) == 0 && ::fchmod(descriptor, 0600) == 0 && ::ftruncate(descriptor, 0) == 0
                && ::lseek(descriptor, 0, SEEK_SET) == 0 && writeAll(descriptor, headerLine(header) + addedFiles) && ::fsync(descriptor) == 0;
    } else {
        // A last line without its line feed was torn by a crash: cut off, so that the next line starts clean.
        ready = ::fcntl(descriptor, F_SETFL, 0) == 0 && ::ftruncate(descriptor, completeSize) == 0
                && (addedFiles.isEmpty()
                    || (::lseek(descriptor, 0, SEEK_END) >= 0 && writeAll(descriptor, addedFiles) && ::fsync(descriptor) == 0));
    }
    addedFiles.clear();
    if (!ready)
        *problem = "cannot write \"" + path + "\": " + QByteArray(strerror(errno));
    return ready;
}

bool UploadJournal::canBegin(QByteArray *problem) const
{
    // An existing journal was opened for writing already.
    if (path.isEmpty() || content != Content::Absent || PathCheck::canCreate(path))
        return true;
    *problem = "cannot write \"" + path + "\": " + QByteArray(strerror(errno));
    return false;
}

void UploadJournal::discard()
{
    if (content != Content::Created)
        return;
    ::unlink(path.constData());
    ::close(descriptor);
    descriptor = -1;
    content = Content::Absent;
}

bool UploadJournal::isStored(qint64 index) const
{
    return index >= 0 && size_t(index) < stored.size() && stored[size_t(index)];
}

bool UploadJournal::storedStreamChunk(qint64 index, qint64 *length, quint32 *crc32) const
{
    const auto found = streamChunks.constFind(index);
    if (found == streamChunks.constEnd())
        return false;
    *length = found->first;
    *crc32 = found->second;
    return true;
}

qint64 UploadJournal::streamChunksRecorded() const
{
    qint64 count = 0;
    for (auto it = streamChunks.constBegin(); it != streamChunks.constEnd(); ++it)
        count = qMax(count, it.key() + 1);
    return count;
}

qint64 UploadJournal::ignoredLines() const
{
    return ignored;
}

qint64 UploadJournal::write(const JournalLine &chunk)
{
    if (path.isEmpty())
        return 0;
    const QByteArray line = chunk.toJson() + '\n';
    const off_t end = ::lseek(descriptor, 0, SEEK_END);
    if (!writeAll(descriptor, line)) {
        // Nothing half-written stays behind; failing that, the next run drops the torn line.
        [[maybe_unused]] const int cut = ::ftruncate(descriptor, end);
        return -1;
    }
    const std::lock_guard<std::mutex> lock(flushMutex);
    return ++linesWritten;
}

void UploadJournal::flush(QObject *context, const std::function<void(qint64, bool)> &done)
{
    {
        const std::lock_guard<std::mutex> lock(flushMutex);
        linesRequested = linesWritten;
        flushContext = context;
        flushed = done;
    }
    if (!flusher.joinable())
        flusher = std::thread([this] { flushLines(); });
    flushWanted.notify_one();
}

// The disk's wait overlaps the chunks being sent; the lines stay unstored until it ends.
void UploadJournal::flushLines()
{
    qint64 covered = 0;
    std::unique_lock<std::mutex> lock(flushMutex);
    for (;;) {
        flushWanted.wait(lock, [this, covered] { return closing || linesRequested > covered; });
        if (linesRequested <= covered)
            return;
        const qint64 target = linesWritten;
        QObject *const context = flushContext;
        const std::function<void(qint64, bool)> done = flushed;
        lock.unlock();
        const bool ok = ::fsync(descriptor) == 0;
        QMetaObject::invokeMethod(context, [done, target, ok] { done(target, ok); }, Qt::QueuedConnection);
        lock.lock();
        covered = target;
    }
}

bool UploadJournal::append(const JournalLine &chunk)
{
    if (path.isEmpty())
        return true;
    const QByteArray line = chunk.toJson() + '\n';
    const off_t end = ::lseek(descriptor, 0, SEEK_END);
    if (!writeAll(descriptor, line)) {
        // Nothing half-written stays behind; failing that, the next run drops the torn line.
        if (::ftruncate(descriptor, end) != 0)
            return false;
        return false;
    }
    return ::fsync(descriptor) == 0;
}
