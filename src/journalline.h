#ifndef JOURNALLINE_H
#define JOURNALLINE_H

#include <QByteArray>
#include <QJsonObject>

class ChunkLayout;
class UploadResult;

// A journal line after the header: a chunk the server stored, the CRC-32 of
// the bytes sent, and what the server answered.
class JournalLine
{
public:
    // The line of a stored chunk; its reply is kept up to 64 KiB, as text or base64.
    JournalLine(const UploadResult &stored, quint32 crc32, qint64 file = -1);
    // A file of a journal over several: its path (as text, or base64 when it
    // is not UTF-8) and the members of its identity.
    static JournalLine fileLine(const QByteArray &path, const QJsonObject &identity);
    // Whether this is such a line, and what it holds.
    bool listedFile(QByteArray *path, QJsonObject *identity) const;
    // The number of the file a chunk line of such a journal names, or -1.
    qint64 file() const;
    // A line read back; text that is not a JSON object says nothing.
    static JournalLine fromText(const QByteArray &text);

    // Compact, without the line feed.
    QByteArray toJson() const;
    // The chunk of this layout that the line says is stored, or -1: only a
    // line with one of its chunks' own range and a 2xx answer counts.
    qint64 storedChunk(const ChunkLayout &layout) const;

    // The chunk of a stream cut in chunkSize that the line says is stored,
    // with its length and CRC-32, or -1.
    qint64 storedStreamChunk(qint64 chunkSize, qint64 *length, quint32 *crc32) const;

private:
    explicit JournalLine(const QJsonObject &object);

    QJsonObject object;
};

#endif // JOURNALLINE_H
