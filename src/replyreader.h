#ifndef REPLYREADER_H
#define REPLYREADER_H

#include "replybody.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

class QNetworkReply;

// Reads a reply into its body as it comes, so that Qt holds no more of it
// than its read buffer, refuses one that grows or is declared past the cap,
// and watches that bytes move either way. It only reports: what follows is
// for its owner to decide.
class ReplyReader : public QObject
{
    Q_OBJECT

public:
    explicit ReplyReader(QObject *parent = nullptr);

    // Seconds without a byte moving before idle(); 0 waits for ever.
    void setIdleTimeout(int seconds);
    // Follows this reply from its start; the last one is forgotten.
    void read(QNetworkReply *reply);

    // What Qt reads ahead of the program: memory does not depend on how busy its thread is.
    static constexpr qint64 readBufferSize = 1 << 20;
    // The status line and header lines together, as libcurl bounds one line:
    // past it a server could fill the console and the result.
    static constexpr int maximumHeaderSize = 100 * 1024;
    // One length, or the same one repeated; else the body's end is unknown.
    static bool isUsableLength(const QByteArray &value);

signals:
    // The reply is larger than the cap; nothing more of it is read.
    void tooLarge();
    // The reply's head cannot be taken: this line says why; nothing more of it is read.
    void unusable(const QByteArray &line);
    // No byte moved either way for the idle time; once per reply.
    void idle();
    // The reply ended: its body, null when nothing came, and the bytes that came before inflation.
    void finished(const QByteArray &body, qint64 receivedSize);

private:
    void startBody();
    void readAvailable();
    void refuse();
    void reject(const QByteArray &line);
    void checkIdle();
    void end();

    QNetworkReply *reply = nullptr;
    ReplyBody body;
    QElapsedTimer sinceMoved;
    QTimer idleCheck;
    int idleTimeout = 0;
    bool refused = false;
};

#endif // REPLYREADER_H
