#include "uploadresult.h"

#include "uploadarguments.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cmath>

void UploadResult::startAttempt()
{
    ++attempts;
    httpStatus = 0;
    error = 0;
    failure.clear();
    statusCodeShown = false;
    statusCode = 0;
    headers.clear();
    reply.clear();
}

QByteArray UploadResult::toJson() const
{
    QJsonObject object;
    object.insert(QStringLiteral("exit"), exitStatus);
    object.insert(QStringLiteral("attempts"), attempts);
    object.insert(QStringLiteral("http_status"), httpStatus > 0 ? QJsonValue(httpStatus) : QJsonValue());
    object.insert(QStringLiteral("error"), error);
    // The console line without its leading " >> " and its closing space.
    QString message = failure;
    if (message.startsWith(QLatin1String(" >> ")))
        message.remove(0, 4);
    if (message.endsWith(QLatin1Char(' ')))
        message.chop(1);
    object.insert(QStringLiteral("message"), message);
    object.insert(QStringLiteral("bytes"), double(bytes));
    QJsonValue seconds;
    QJsonValue speed;
    if (elapsedMilliseconds >= 0) {
        seconds = elapsedMilliseconds / 1000.0;
        // As the final report computes it; JSON has no infinity and no NaN.
        const double megabits = bytes * 8.0 / seconds.toDouble() / 1000000.0;
        if (std::isfinite(megabits))
            speed = megabits;
    }
    object.insert(QStringLiteral("seconds"), seconds);
    object.insert(QStringLiteral("megabits_per_second"), speed);
    object.insert(QStringLiteral("status_code"), statusCodeShown ? QJsonValue(statusCode) : QJsonValue());
    QJsonArray pairs;
    for (const auto &pair : headers)
        pairs.append(QJsonArray{ QString::fromUtf8(pair.first), QString::fromUtf8(pair.second) });
    object.insert(QStringLiteral("headers"), pairs);
    QByteArray json = QJsonDocument(object).toJson(QJsonDocument::Compact);
    // The body goes in last, escaped here: as a QJsonValue a 64 MiB body
    // would be held four times over.
    json.chop(1);
    const bool answered = httpStatus > 0;
    const bool text = UploadArguments::isValidUtf8(reply);
    json += ",\"reply\":" + (answered && text ? jsonString(reply) : QByteArray("null"));
    json += ",\"reply_base64\":" + (answered && !text ? '"' + reply.toBase64() + '"' : QByteArray("null"));
    json += "}\n";
    return json;
}

// UTF-8 as it is, with quotes, backslashes and control characters escaped.
QByteArray UploadResult::jsonString(const QByteArray &utf8)
{
    QByteArray escaped;
    escaped.reserve(utf8.size() + 2);
    escaped += '"';
    for (const char c : utf8) {
        if (c == '"' || c == '\\') {
            escaped += '\\';
            escaped += c;
        } else if (uchar(c) < 0x20) {
            escaped += "\\u00";
            escaped += "0123456789abcdef"[uchar(c) >> 4];
            escaped += "0123456789abcdef"[uchar(c) & 0xf];
        } else {
            escaped += c;
        }
    }
    escaped += '"';
    return escaped;
}
