#ifndef UPLOADREQUEST_H
#define UPLOADREQUEST_H

#include <QByteArray>
#include <QNetworkRequest>

class QUrl;

// The request every attempt of a chunk posts, with its eight headers in their order.
class UploadRequest
{
public:
    static QNetworkRequest build(const QUrl &url, const QByteArray &apiToken, qint64 bodySize);
};

#endif // UPLOADREQUEST_H
