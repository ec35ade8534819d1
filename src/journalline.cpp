#include "journalline.h"

#include "chunklayout.h"
#include "uploadresult.h"
#include "utf8text.h"

#include <QJsonDocument>

#include <cmath>
#include <limits>

namespace {

// Chunk APIs hand back ids that a final call needs.
const int longestReply = 64 << 10;

bool wholeNumber(const QJsonValue &value, qint64 lowest, qint64 highest, qint64 *number)
{
    const double figure = value.toDouble(-1.5);
    if (!value.isDouble() || !(figure >= double(lowest) && figure <= double(highest)) || std::trunc(figure) != figure)
        return false;
    *number = qint64(figure);
    return true;
}

} // namespace

JournalLine::JournalLine(const QJsonObject &object)
    : object(object)
{
}

JournalLine::JournalLine(const UploadResult &stored, quint32 crc32, qint64 file)
{
    if (file >= 0)
        object.insert(QStringLiteral("file"), double(file));
    object.insert(QStringLiteral("index"), double(stored.index));
    object.insert(QStringLiteral("start"), double(stored.start));
    object.insert(QStringLiteral("end"), double(stored.end));
    object.insert(QStringLiteral("http_status"), stored.httpStatus);
    object.insert(QStringLiteral("crc32"), double(crc32));
    QJsonValue etag;
    for (const auto &header : stored.headers)
        if (header.first.compare("ETag", Qt::CaseInsensitive) == 0)
            etag = QString::fromUtf8(header.second);
    object.insert(QStringLiteral("etag"), etag);
    const bool kept = stored.reply.size() <= longestReply;
    const bool text = Utf8Text::isValid(stored.reply);
    object.insert(QStringLiteral("reply"), kept && text ? QJsonValue(QString::fromUtf8(stored.reply)) : QJsonValue());
    object.insert(QStringLiteral("reply_base64"),
                  kept && !text ? QJsonValue(QString::fromLatin1(stored.reply.toBase64())) : QJsonValue());
}

JournalLine JournalLine::fileLine(const QByteArray &path, const QJsonObject &identity)
{
    QJsonObject line = identity;
    line.remove(QStringLiteral("file"));
    if (Utf8Text::isValid(path))
        line.insert(QStringLiteral("path"), QString::fromUtf8(path));
    else
        line.insert(QStringLiteral("path_base64"), QString::fromLatin1(path.toBase64()));
    return JournalLine(line);
}

bool JournalLine::listedFile(QByteArray *path, QJsonObject *identity) const
{
    const QJsonValue text = object.value(QStringLiteral("path"));
    const QJsonValue base64 = object.value(QStringLiteral("path_base64"));
    if (!text.isString() && !base64.isString())
        return false;
    *path = text.isString() ? text.toString().toUtf8() : QByteArray::fromBase64(base64.toString().toLatin1());
    *identity = object;
    return true;
}

qint64 JournalLine::file() const
{
    qint64 number = -1;
    return wholeNumber(object.value(QStringLiteral("file")), 0, std::numeric_limits<int>::max(), &number) ? number : -1;
}

JournalLine JournalLine::fromText(const QByteArray &text)
{
    return JournalLine(QJsonDocument::fromJson(text).object());
}

QByteArray JournalLine::toJson() const
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

qint64 JournalLine::storedChunk(const ChunkLayout &layout) const
{
    qint64 index = 0;
    qint64 start = 0;
    qint64 end = 0;
    qint64 status = 0;
    qint64 crc = 0;
    if (!wholeNumber(object.value(QStringLiteral("index")), 0, layout.count() - 1, &index)
        || !wholeNumber(object.value(QStringLiteral("start")), 0, layout.fileSize(), &start)
        || !wholeNumber(object.value(QStringLiteral("end")), 0, layout.fileSize(), &end)
        || !wholeNumber(object.value(QStringLiteral("http_status")), 200, 299, &status)
        || !wholeNumber(object.value(QStringLiteral("crc32")), 0, 0xffffffffLL, &crc) || start != layout.start(index)
        || end != layout.end(index))
        return -1;
    return index;
}

qint64 JournalLine::storedStreamChunk(qint64 chunkSize, qint64 *length, quint32 *crc32) const
{
    const qint64 largest = std::numeric_limits<qint64>::max() / 2;
    qint64 index = 0;
    qint64 start = 0;
    qint64 end = 0;
    qint64 status = 0;
    qint64 crc = 0;
    if (!wholeNumber(object.value(QStringLiteral("index")), 0, largest / chunkSize, &index)
        || !wholeNumber(object.value(QStringLiteral("start")), 0, largest, &start)
        || !wholeNumber(object.value(QStringLiteral("end")), 0, largest, &end)
        || !wholeNumber(object.value(QStringLiteral("http_status")), 200, 299, &status)
        || !wholeNumber(object.value(QStringLiteral("crc32")), 0, 0xffffffffLL, &crc) || start != index * chunkSize || end < start
        || end - start > chunkSize)
        return -1;
    *length = end - start;
    *crc32 = quint32(crc);
    return index;
}
