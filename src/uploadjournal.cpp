#include "uploadjournal.h"

#include <QJsonDocument>
#include <QStringList>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

UploadJournal::~UploadJournal()
{
    if (descriptor >= 0)
        ::close(descriptor);
}

UploadJournal::Opening UploadJournal::open(const QByteArray &path, const QJsonObject &header, bool restart, QByteArray *problem)
{
    descriptor = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (descriptor < 0) {
        *problem = "cannot open " + path + ": " + QByteArray(strerror(errno));
        return Opening::Unusable;
    }
    // The lock goes with the descriptor: a crashed run leaves none behind.
    if (::flock(descriptor, LOCK_EX | LOCK_NB) != 0) {
        *problem = path + " is in use by another run";
        return Opening::InUse;
    }
    struct stat status = {};
    if (::fstat(descriptor, &status) != 0) {
        *problem = "cannot read " + path;
        return Opening::Unusable;
    }
    if (!restart && status.st_size > 0)
        return readStored(header, problem);
    if (::ftruncate(descriptor, 0) != 0 || !append(header)) {
        *problem = "cannot write " + path;
        return Opening::Unusable;
    }
    return Opening::Opened;
}

UploadJournal::Opening UploadJournal::readStored(const QJsonObject &header, QByteArray *problem)
{
    QByteArray text;
    char buffer[1 << 16];
    for (ssize_t count; (count = ::pread(descriptor, buffer, sizeof buffer, text.size())) != 0;) {
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0) {
            *problem = "cannot read the journal";
            return Opening::Unusable;
        }
        text.append(buffer, int(count));
    }
    // A last line without its line feed was torn by a crash: cut off, so that the next line starts clean.
    const int complete = text.lastIndexOf('\n') + 1;
    if (complete < text.size() && ::ftruncate(descriptor, complete) != 0) {
        *problem = "cannot write the journal";
        return Opening::Unusable;
    }
    const QList<QByteArray> lines = text.left(complete).split('\n');
    const QJsonObject recorded = QJsonDocument::fromJson(lines.value(0)).object();
    if (recorded.isEmpty()) {
        *problem = "its first line is not a journal's";
        return Opening::Mismatch;
    }
    for (const QString &key : { QStringLiteral("size"), QStringLiteral("mtime_ns"), QStringLiteral("device"), QStringLiteral("inode"),
                                QStringLiteral("chunk_size"), QStringLiteral("template") }) {
        if (recorded.value(key) != header.value(key)) {
            const QString name = key == QLatin1String("device") || key == QLatin1String("inode") ? QStringLiteral("file") : key;
            *problem = "its " + name.toUtf8() + " differs from this run's";
            return Opening::Mismatch;
        }
    }
    for (int i = 1; i < lines.size(); ++i) {
        const QJsonObject line = QJsonDocument::fromJson(lines.at(i)).object();
        if (line.contains(QStringLiteral("index")))
            stored.insert(qint64(line.value(QStringLiteral("index")).toDouble()));
    }
    ::lseek(descriptor, 0, SEEK_END);
    return Opening::Opened;
}

const QSet<qint64> &UploadJournal::storedChunks() const
{
    return stored;
}

bool UploadJournal::append(const QJsonObject &object)
{
    const QByteArray line = QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
    const off_t end = ::lseek(descriptor, 0, SEEK_END);
    qint64 written = 0;
    while (written < line.size()) {
        const ssize_t count = ::write(descriptor, line.constData() + written, size_t(line.size() - written));
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0) {
            // Nothing half-written stays behind; failing that, the next run drops the torn line.
            if (::ftruncate(descriptor, end) != 0)
                return false;
            return false;
        }
        written += count;
    }
    return ::fsync(descriptor) == 0;
}
