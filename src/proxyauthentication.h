#ifndef PROXYAUTHENTICATION_H
#define PROXYAUTHENTICATION_H

#include <QByteArray>
#include <QObject>
#include <QPointer>

class ProxyDigest;
class ProxyProbe;
class QNetworkAccessManager;
class QNetworkReply;
class QNetworkRequest;
class QUrl;

// The credentials of a job for an HTTP proxy, attempt by attempt: sent ahead
// on plain http, given once when Qt asks, refused when it asks again; and
// whether a failed attempt may be the proxy's refusal in disguise.
class ProxyAuthentication : public QObject
{
    Q_OBJECT

public:
    explicit ProxyAuthentication(QNetworkAccessManager *manager, QObject *parent = nullptr);

    void setCredentials(const QByteArray &user, const QByteArray &password);
    // Puts Basic credentials on a plain-http request through the proxy; answers whether it did.
    bool sendAhead(QNetworkRequest *request) const;
    // A new attempt, with nothing asked yet; or the same attempt's request
    // sent again after the proxy was answered, which may not be asked again.
    void setReply(QNetworkReply *reply, bool sameAttempt = false);
    // Qt asked once for the attempt, and was answered.
    bool isAnswered() const { return stage == Stage::Answered; }
    // Reports refused() once for the attempt.
    void refuse();
    bool isRefused() const;
    // The credentials given were asked for again, and Qt gave up without saying so.
    bool answerRefused() const;
    // The attempt failed: Qt may have lost a refusal, or taken it for the server's.
    bool mayHaveRefused(int httpStatus) const;
    // Asks the proxy itself, by a CONNECT to where the request goes.
    ProxyProbe *createProbe(const QUrl &url, QObject *parent) const;
    // Asks the proxy, before the body goes, whether it wants Digest.
    ProxyDigest *createDigest(const QUrl &url, QObject *parent) const;

signals:
    void refused();

private:
    enum class Stage { Unasked, Answered, Refused, TunnelOpened };

    QNetworkAccessManager *manager;
    QPointer<QNetworkReply> reply;
    QByteArray user;
    QByteArray password;
    Stage stage = Stage::Unasked;
};

#endif // PROXYAUTHENTICATION_H
