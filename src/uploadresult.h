#ifndef UPLOADRESULT_H
#define UPLOADRESULT_H

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

// What a run ends with, for scripts: one JSON object on one line.
class UploadResult
{
public:
    // Counts the attempt and forgets what the previous one left.
    void startAttempt();

    QByteArray toJson() const;
    static QByteArray jsonString(const QByteArray &bytes);

    int exitStatus = 0;
    int attempts = 0;
    // 0 when there was no HTTP reply.
    int httpStatus = 0;
    int error = 0;
    // The first console line of the last attempt that reported the failure.
    QString failure;
    qint64 bytes = 0;
    // -1 when nothing was posted.
    qint64 elapsedMilliseconds = -1;
    bool statusCodeShown = false;
    int statusCode = 0;
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray reply;
};

#endif // UPLOADRESULT_H
