#ifndef UPLOADREQUEST_H
#define UPLOADREQUEST_H

#include <QByteArray>
#include <QNetworkRequest>

class QSslConfiguration;
class QUrl;

// The request every attempt of a chunk posts, with its eight headers in their order.
class UploadRequest
{
public:
    // https goes with the run's TLS configuration (TlsConfiguration), or Qt's default one when none.
    static QNetworkRequest build(const QUrl &url, const QByteArray &apiToken, qint64 bodySize, const QSslConfiguration *tls = nullptr);
};

#endif // UPLOADREQUEST_H
