#ifndef MESSAGECAPTURE_H
#define MESSAGECAPTURE_H

#include <QStringList>
#include <QTemporaryFile>

// Collects what this process writes to standard error while it lives.
class MessageCapture
{
public:
    MessageCapture();
    ~MessageCapture();

    MessageCapture(const MessageCapture &) = delete;
    MessageCapture &operator=(const MessageCapture &) = delete;

    // One entry per line feed written.
    QStringList lines();

private:
    QTemporaryFile file;
    int savedStandardError = -1;
};

#endif // MESSAGECAPTURE_H
