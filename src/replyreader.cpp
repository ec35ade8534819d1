#include "replyreader.h"


#include <QNetworkReply>

#include <algorithm>

ReplyReader::ReplyReader(QObject *parent)
    : QObject(parent)
{
    connect(&idleCheck, &QTimer::timeout, this, &ReplyReader::checkIdle);
}

void ReplyReader::setIdleTimeout(int seconds)
{
    idleTimeout = seconds;
}

void ReplyReader::read(QNetworkReply *newReply)
{
    reply = newReply;
    refused = false;
    body.start(QByteArray());
    sinceMoved.start();
    reply->setReadBufferSize(readBufferSize);
    connect(reply, &QNetworkReply::metaDataChanged, this, &ReplyReader::startBody);
    connect(reply, &QNetworkReply::readyRead, this, &ReplyReader::readAvailable);
    // Qt's own transfer time-out posts an event to restart its timer for every
    // 16 KiB sent; a clock read per piece and a check each second cost less.
    const auto moved = [this] { sinceMoved.start(); };
    connect(reply, &QNetworkReply::uploadProgress, this, moved);
    connect(reply, &QNetworkReply::downloadProgress, this, moved);
    connect(reply, &QNetworkReply::metaDataChanged, this, moved);
    connect(reply, &QNetworkReply::finished, this, &ReplyReader::end);
    if (idleTimeout > 0)
        idleCheck.start(1000);
}

// A reply larger than any answer this program reads would only exhaust memory.
void ReplyReader::startBody()
{
    // Qt hands the limit to its network thread only if the request already
    // runs there; said again now, its reading ahead stops at the limit.
    reply->setReadBufferSize(readBufferSize);
    qint64 headerSize = reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toByteArray().size();
    for (const QNetworkReply::RawHeaderPair &pair : reply->rawHeaderPairs())
        headerSize += pair.first.size() + pair.second.size() + 4;
    const QByteArray length = reply->rawHeader("Content-Length");
    const QVariant declared = reply->header(QNetworkRequest::ContentLengthHeader);
    if (headerSize > maximumHeaderSize)
        reject(" >> Reply header too large: more than " + QByteArray::number(maximumHeaderSize) + " Byte ");
    else if (reply->hasRawHeader("Content-Length") && !isUsableLength(length))
        reject(" >> Reply with an unusable Content-Length ");
    else if (declared.toLongLong() > ReplyBody::maximumSize)
        refuse();
    else
        body.start(reply->rawHeader("Content-Encoding"), declared.isValid() ? declared.toLongLong() : -1);
}

void ReplyReader::readAvailable()
{
    if (!refused && reply->isOpen() && !body.append(reply->readAll()))
        refuse();
}

// Qt joins repeated fields with ", "; a length past 64 bits it drops, and reads to the close.
bool ReplyReader::isUsableLength(const QByteArray &value)
{
    const QList<QByteArray> lengths = value.split(',');
    const auto length = [](const QByteArray &field) {
        const QByteArray digits = field.trimmed();
        bool fits = false;
        const qint64 number = digits.toLongLong(&fits);
        const bool decimal = !digits.isEmpty() && std::all_of(digits.cbegin(), digits.cend(), [](char c) { return c >= '0' && c <= '9'; });
        return decimal && fits ? number : qint64(-1);
    };
    const qint64 first = length(lengths.first());
    return first >= 0 && std::all_of(lengths.cbegin(), lengths.cend(), [&](const QByteArray &field) { return length(field) == first; });
}

void ReplyReader::reject(const QByteArray &line)
{
    refused = true;
    emit unusable(line);
}

void ReplyReader::refuse()
{
    refused = true;
    emit tooLarge();
}

void ReplyReader::checkIdle()
{
    if (sinceMoved.elapsed() < idleTimeout * qint64(1000))
        return;
    idleCheck.stop();
    emit idle();
}

void ReplyReader::end()
{
    idleCheck.stop();
    readAvailable();
    const QByteArray bytes = body.bytes();
    const qint64 received = body.receivedSize();
    // Kept until the next reply, the body would be held twice.
    body.start(QByteArray());
    emit finished(bytes, received);
}
