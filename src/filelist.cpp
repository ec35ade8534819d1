#include "filelist.h"

#include "fileuploadoptions.h"

#include <QHash>
#include <QPair>

#include <algorithm>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace {

using FileKey = QPair<quint64, quint64>;

bool keyOf(const QByteArray &path, FileKey *key)
{
    struct stat status = {};
    if (::stat(path.constData(), &status) != 0)
        return false;
    *key = qMakePair(quint64(status.st_dev), quint64(status.st_ino));
    return true;
}

} // namespace

QByteArray FileList::check(const QList<QByteArray> &paths, const QByteArray &journalPath)
{
    files.clear();
    files.reserve(size_t(paths.size()));
    // Found by device and inode: "a.bin" and "./a.bin" are one file.
    QHash<FileKey, int> seen;
    seen.reserve(paths.size());
    for (const QByteArray &path : paths) {
        const QByteArray named = '"' + shown(path) + "\" ";
        if (path == "-")
            return named + "is standard input: a stream is sent in a run of its own";
        // No name holds one: the system would find the file named by the bytes before it, and the rest would go unsent.
        if (path.contains('\0'))
            return named + "holds a NUL byte: --files-from takes one path a line, not the list of find -print0";
        Entry entry;
        entry.path = path;
        // A carriage return shows as "?", a byte order mark not at all: a list saved by a Windows editor would leave the user guessing.
        if (::stat(path.constData(), &entry.status) != 0)
            return named + "cannot be sent: " + QByteArray(strerror(errno))
                   + (path.endsWith('\r')            ? "; its name ends in a carriage return (CR LF line ends?)"
                      : path.startsWith("\xef\xbb\xbf") ? "; its name starts with a byte order mark"
                                                      : "");
        if (S_ISDIR(entry.status.st_mode))
            return FileUploadOptions::folderLine(shown(path));
        if (!S_ISREG(entry.status.st_mode))
            return named + "is not a regular file: a stream is sent in a run of its own";
        const int descriptor = ::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
        if (descriptor < 0)
            return named + "cannot be read: " + QByteArray(strerror(errno));
        ::close(descriptor);
        const FileKey key = qMakePair(quint64(entry.status.st_dev), quint64(entry.status.st_ino));
        const auto earlier = seen.constFind(key);
        if (earlier != seen.constEnd())
            return named + "is named twice: it is \"" + shown(files[size_t(*earlier)].path) + "\" too";
        seen.insert(key, int(files.size()));
        files.push_back(std::move(entry));
    }
    FileKey key;
    if (!journalPath.isEmpty() && keyOf(journalPath, &key) && seen.contains(key))
        return "Journal not usable: \"" + journalPath + "\" is one of the files";
    return QByteArray();
}

bool FileList::isListed(const QList<QByteArray> &paths, const QByteArray &path)
{
    FileKey key;
    FileKey listed;
    if (path.isEmpty() || !keyOf(path, &key))
        return false;
    return std::any_of(paths.cbegin(), paths.cend(), [&](const QByteArray &each) { return keyOf(each, &listed) && listed == key; });
}

QByteArray FileList::sharedName() const
{
    QHash<QByteArray, size_t> names;
    names.reserve(int(files.size()));
    for (size_t i = 0; i < files.size(); ++i) {
        const QByteArray &path = files[i].path;
        const QByteArray name = path.mid(path.lastIndexOf('/') + 1);
        const auto earlier = names.constFind(name);
        if (earlier != names.constEnd())
            return '"' + shown(path) + "\" and \"" + shown(files[*earlier].path)
                   + "\" have one {name}: they would go to the same addresses; {path} tells them apart";
        names.insert(name, i);
    }
    return QByteArray();
}

std::vector<FileList::Entry> &FileList::entries()
{
    return files;
}

const std::vector<FileList::Entry> &FileList::entries() const
{
    return files;
}

QByteArray FileList::open(Entry *entry) const
{
    entry->input.reset(new InputFile);
    const QByteArray named = " >> File \"" + shown(entry->path) + "\": ";
    const InputFile::Opening opening = entry->input->open(entry->path);
    if (opening == InputFile::Opening::Opened && entry->input->identity() == InputFile::identityOf(entry->path, entry->status))
        return QByteArray();
    entry->input.reset();
    if (opening == InputFile::Opening::Unopenable)
        return named + "cannot be opened: " + QByteArray(strerror(errno)) + ' ';
    // A file of /proc: stat says 0 bytes, a read finds more.
    if (opening == InputFile::Opening::MisstatesSize)
        return named + "cannot be read: its size is 0 but it holds bytes ";
    return named + "it changed after it was checked: not sent ";
}

void FileList::closeIfDone(Entry *entry)
{
    if (entry->stopped && entry->inFlight == 0)
        entry->input.reset();
}

QByteArray FileList::shown(const QByteArray &path)
{
    QByteArray text = path;
    for (char &c : text)
        if (uchar(c) < 0x20 || c == 0x7f)
            c = '?';
    return text;
}
