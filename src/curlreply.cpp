#include "curlreply.h"

void CurlReply::start()
{
    status = 0;
    statusReason.clear();
    lines.clear();
    declared = -1;
    body.start(QByteArray());
}

bool CurlReply::readHeader(const QByteArray &line)
{
    if (line.startsWith("HTTP/")) {
        const QList<QByteArray> parts = line.split(' ');
        status = parts.value(1).toInt();
        statusReason = parts.size() < 3 ? QByteArray() : line.mid(line.indexOf(' ', line.indexOf(' ') + 1) + 1);
        lines.clear();
        declared = -1;
    } else if (line.isEmpty()) {
        if (declared > ReplyBody::maximumSize)
            return false;
        body.start(headerValue(lines, "Content-Encoding"), declared);
    } else if (line.contains(':')) {
        const int colon = line.indexOf(':');
        const QByteArray name = line.left(colon).trimmed();
        const QByteArray value = line.mid(colon + 1).trimmed();
        lines << qMakePair(name, value);
        if (name.compare("Content-Length", Qt::CaseInsensitive) == 0) {
            bool valid = false;
            const qint64 length = value.toLongLong(&valid);
            declared = valid ? length : -1;
        }
    }
    return true;
}

bool CurlReply::readBody(const QByteArray &bytes)
{
    return body.append(bytes);
}

QByteArray CurlReply::takeBody()
{
    const QByteArray bytes = body.bytes();
    received = body.receivedSize();
    body.start(QByteArray());
    return bytes;
}

int CurlReply::httpStatus() const
{
    return status;
}

const QByteArray &CurlReply::reason() const
{
    return statusReason;
}

const CurlReply::Headers &CurlReply::headers() const
{
    return lines;
}

qint64 CurlReply::declaredLength() const
{
    return declared;
}

qint64 CurlReply::receivedSize() const
{
    return received;
}

qint64 CurlReply::heldSize() const
{
    return body.heldSize();
}

void CurlReply::setGrowth(const std::function<bool(qint64)> &mayGrow)
{
    body.setGrowth(mayGrow);
}

QByteArray CurlReply::headerValue(const Headers &headers, const QByteArray &name)
{
    for (const auto &header : headers)
        if (header.first.compare(name, Qt::CaseInsensitive) == 0)
            return header.second;
    return QByteArray();
}
