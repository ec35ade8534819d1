#ifndef UPLOADJOURNAL_H
#define UPLOADJOURNAL_H

#include <QByteArray>
#include <QJsonObject>
#include <QSet>

// The record of a whole-file upload, as JSON lines: the first names the file
// and the chunking, each later one a chunk the server stored. A line is
// written whole and on disk before its chunk counts as stored; a line torn
// by a crash is dropped. Held locked while a run uses it.
class UploadJournal
{
public:
    UploadJournal() = default;
    ~UploadJournal();
    Q_DISABLE_COPY(UploadJournal)

    enum class Opening { Opened, InUse, Mismatch, Unusable };

    // Starts a new journal under --restart or when none exists; otherwise
    // reads the stored chunks, once the header matches. *problem says what
    // is wrong when the answer is not Opened.
    Opening open(const QByteArray &path, const QJsonObject &header, bool restart, QByteArray *problem);
    const QSet<qint64> &storedChunks() const;
    // Appends one line and flushes it to disk.
    bool append(const QJsonObject &line);

private:
    Opening readStored(const QJsonObject &header, QByteArray *problem);

    int descriptor = -1;
    QSet<qint64> stored;
};

#endif // UPLOADJOURNAL_H
