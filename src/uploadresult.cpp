#include "uploadresult.h"

#include "uploadarguments.h"

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
    QByteArray json = QJsonDocument(object).toJson(QJsonDocument::Compact);
    // Headers and body go in last, escaped here: as QJsonValues a 64 MiB body
    // or header would be held four times over.
    json.chop(1);
    json += ",\"headers\":[";
    for (int i = 0; i < headers.size(); ++i)
        json += (i > 0 ? ",[" : "[") + jsonString(headers.at(i).first) + ',' + jsonString(headers.at(i).second) + ']';
    json += ']';
    const bool answered = httpStatus > 0;
    const bool text = UploadArguments::isValidUtf8(reply);
    json += ",\"reply\":" + (answered && text ? jsonString(reply) : QByteArray("null"));
    json += ",\"reply_base64\":" + (answered && !text ? '"' + reply.toBase64() + '"' : QByteArray("null"));
    json += "}\n";
    return json;
}

// With quotes, backslashes and control characters escaped; bytes that are not
// UTF-8 become replacement characters, as on the console.
QByteArray UploadResult::jsonString(const QByteArray &bytes)
{
    const QByteArray utf8 = UploadArguments::isValidUtf8(bytes) ? bytes : QString::fromUtf8(bytes.constData(), bytes.size()).toUtf8();
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
