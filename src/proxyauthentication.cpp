#include "proxyauthentication.h"

#include "proxydigest.h"
#include "proxyprobe.h"
#include "requestheaders.h"

#include <QAuthenticator>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QUrl>

ProxyAuthentication::ProxyAuthentication(QNetworkAccessManager *manager, QObject *parent)
    : QObject(parent)
    , manager(manager)
{
    // Asked a second time, the credentials were refused: the authenticator
    // stays empty, the request fails, and sending again would fail the same way.
    connect(manager, &QNetworkAccessManager::proxyAuthenticationRequired, this,
            [this](const QNetworkProxy &, QAuthenticator *authenticator) {
                if (!reply || reply->isFinished() || stage == Stage::Refused)
                    return;
                if (stage == Stage::Unasked && !user.isEmpty()) {
                    stage = Stage::Answered;
                    authenticator->setUser(QString::fromUtf8(user));
                    authenticator->setPassword(QString::fromUtf8(password));
                    return;
                }
                refuse();
            });
}

void ProxyAuthentication::setCredentials(const QByteArray &newUser, const QByteArray &newPassword)
{
    user = newUser;
    password = newPassword;
}

// A proxy that wants credentials answers 407 before it reads the body
// and closes, and Qt then takes the reset for a lost connection and
// never answers the 407. Sent with the request, Basic credentials
// avoid the 407; the request crosses the proxy in the clear anyway.
bool ProxyAuthentication::sendAhead(QNetworkRequest *request) const
{
    if (request->url().scheme() == QLatin1String("https") || manager->proxy().type() != QNetworkProxy::HttpProxy || user.isEmpty())
        return false;
    request->setRawHeader("Proxy-Authorization", "Basic " + (user + ':' + password).toBase64());
    return true;
}

void ProxyAuthentication::setReply(QNetworkReply *newReply, bool sameAttempt)
{
    reply = newReply;
    if (!sameAttempt)
        stage = Stage::Unasked;
    // The TLS session began, so the proxy had opened the tunnel.
    connect(reply, &QNetworkReply::encrypted, this, [this] { stage = Stage::TunnelOpened; });
}

void ProxyAuthentication::refuse()
{
    if (stage == Stage::Refused)
        return;
    stage = Stage::Refused;
    emit refused();
}

bool ProxyAuthentication::isRefused() const
{
    return stage == Stage::Refused;
}

bool ProxyAuthentication::answerRefused() const
{
    return stage == Stage::Answered && reply->error() == QNetworkReply::ProxyAuthenticationRequiredError;
}

// A proxy that wants credentials may answer at once and close while the
// body is still being sent; Qt then loses its answer and reports the closed
// connection. Some proxies refuse credentials by 401, which Qt takes for the
// server's, or, in a tunnel, reports as an unknown error.
bool ProxyAuthentication::mayHaveRefused(int httpStatus) const
{
    if (manager->proxy().type() != QNetworkProxy::HttpProxy || stage == Stage::Refused || stage == Stage::TunnelOpened)
        return false;
    const QNetworkReply::NetworkError error = reply->error();
    return error == QNetworkReply::AuthenticationRequiredError
           || (httpStatus == 0
               && (error == QNetworkReply::RemoteHostClosedError || error == QNetworkReply::UnknownNetworkError
                   || error == QNetworkReply::ProxyConnectionClosedError));
}

ProxyProbe *ProxyAuthentication::createProbe(const QUrl &url, QObject *parent) const
{
    return new ProxyProbe(manager->proxy(), RequestHeaders::proxyTarget(url), user, password, parent);
}

ProxyDigest *ProxyAuthentication::createDigest(const QUrl &url, QObject *parent) const
{
    return new ProxyDigest(manager->proxy(), ProxyDigest::requestTarget(url), user, password, parent);
}
