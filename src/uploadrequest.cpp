#include "uploadrequest.h"

#include "requestheaders.h"

#include <QSslConfiguration>
#include <QUrl>

QNetworkRequest UploadRequest::build(const QUrl &url, const QByteArray &apiToken, qint64 bodySize, const QSslConfiguration *tls)
{
    QNetworkRequest request;
    // Credentials go with the first request, as curl sends them. Left in the
    // address, Qt would send the body again on the server's 401, which the
    // one-send guard refuses; without them Qt's own authentication has
    // nothing to answer with, and a 401 is final.
    QUrl address = url;
    address.setUserInfo(QString());
    request.setUrl(address);
    if (url.scheme() == QLatin1String("https")) {
        // TLS 1.0 is refused by the platform's TLS library; verification stays on.
        QSslConfiguration sslConfiguration = tls ? *tls : QSslConfiguration::defaultConfiguration();
        sslConfiguration.setProtocol(QSsl::TlsV1_2OrLater);
        request.setSslConfiguration(sslConfiguration);
    }
    for (const RequestHeaders::Header &header : RequestHeaders::build(url, apiToken, bodySize))
        request.setRawHeader(header.first, header.second);
    // Without it Qt thins the progress signals and most ten-percent steps never show.
    request.setAttribute(QNetworkRequest::EmitAllUploadProgressSignalsAttribute, true);
    // Qt 6 would follow a redirect, re-posting the chunk and the token or
    // turning the POST into a GET, and would offer HTTP/2, whose flow-control
    // window stalls a large body; Qt 5's defaults, said out loud.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
    return request;
}

