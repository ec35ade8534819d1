#ifndef MESSAGECAPTURE_H
#define MESSAGECAPTURE_H

#include <QStringList>

// Collects the program's console messages in this process while it lives.
class MessageCapture
{
public:
    MessageCapture();
    ~MessageCapture();

    MessageCapture(const MessageCapture &) = delete;
    MessageCapture &operator=(const MessageCapture &) = delete;

    QStringList lines() const;
};

#endif // MESSAGECAPTURE_H
