#include "uploadrequest.h"

#include <QDateTime>
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
    const QString user = url.userName(QUrl::FullyEncoded);
    const QString password = url.password(QUrl::FullyEncoded);
    address.setUserInfo(QString());
    request.setUrl(address);
    if (url.scheme() == QLatin1String("https")) {
        // TLS 1.0 is refused by the platform's TLS library; verification stays on.
        QSslConfiguration sslConfiguration = tls ? *tls : QSslConfiguration::defaultConfiguration();
        sslConfiguration.setProtocol(QSsl::TlsV1_2OrLater);
        request.setSslConfiguration(sslConfiguration);
    }
    request.setRawHeader("X_ZORV_API_TOKEN", apiToken);
    request.setRawHeader("X_ZORV_LOCAL_TS_OFFSET", localTimeZoneOffset().toLatin1());
    request.setRawHeader("USER-AGENT", "tovanel/5.0.0");
    // Set here, Qt hands the reply over as it came and the job inflates it
    // within its cap; left to Qt, a small reply could inflate to gigabytes.
    request.setRawHeader("Accept-Encoding", "gzip,deflate");
    request.setRawHeader("Content-Type", "application/octet-stream");
    request.setRawHeader("Content-Length", QByteArray::number(bodySize));
    request.setRawHeader("Connection", "Keep-Alive");
    request.setRawHeader("Keep-Alive", "timeout=20000");
    if (!user.isEmpty() || !password.isEmpty()) {
        const QByteArray credentials = QByteArray::fromPercentEncoding(user.toLatin1()) + ':'
                                       + QByteArray::fromPercentEncoding(password.toLatin1());
        request.setRawHeader("Authorization", "Basic " + credentials.toBase64());
    }
    // Without it Qt thins the progress signals and most ten-percent steps never show.
    request.setAttribute(QNetworkRequest::EmitAllUploadProgressSignalsAttribute, true);
    // Qt 6 would follow a redirect, re-posting the chunk and the token or
    // turning the POST into a GET, and would offer HTTP/2, whose flow-control
    // window stalls a large body; Qt 5's defaults, said out loud.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
    return request;
}


QString UploadRequest::localTimeZoneOffset()
{
    // Truncates toward zero: UTC-3:30 is -3, never -4.
    const int hours = QDateTime::currentDateTime().offsetFromUtc() / 3600;
    return hours > 0 ? QStringLiteral("+%1").arg(hours) : QString::number(hours);
}
