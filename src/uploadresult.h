#ifndef UPLOADRESULT_H
#define UPLOADRESULT_H

#include "exitstatus.h"

#include <QByteArray>
#include <QList>
#include <QPair>

#include <functional>

// What a run ends with, for scripts: one JSON object on one line.
class UploadResult
{
public:
    // Takes the JSON text a piece at a time; answers false when it could not take one.
    using Sink = std::function<bool(const char *data, qint64 size)>;

    // Counts the attempt and forgets what the previous one left.
    void startAttempt();

    // Written in pieces, so that a reply is never held twice; nothing is
    // allocated unless a header or the reply is not UTF-8 text.
    bool writeJson(const Sink &sink) const;

    ExitStatus exitStatus = ExitStatus::Success;
    int attempts = 0;
    // 0 when there was no HTTP reply.
    int httpStatus = 0;
    // The status line's reason phrase, as the server sent it.
    QByteArray reason;
    int error = 0;
    // The first console line of the last attempt that reported the failure, UTF-8.
    QByteArray failure;
    // More about it than the console line says (libcurl's own words), UTF-8:
    // the result's message holds it after the line and ": ". Empty for none.
    QByteArray detail;
    qint64 bytes = 0;
    // -1 when nothing was posted.
    qint64 elapsedMilliseconds = -1;
    bool statusCodeShown = false;
    int statusCode = 0;
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray reply;
    // A chunk of a whole file: its index and range; -1 when the run sends one range.
    qint64 index = -1;
    qint64 start = 0;
    qint64 end = 0;
    // A chunk of one of several files: the file's path as given; empty otherwise.
    QByteArray file;
};

#endif // UPLOADRESULT_H
