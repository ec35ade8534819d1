#include "proxydigest.h"

#include <QCryptographicHash>
#include <QRandomGenerator>
#include <QUrl>

#include <algorithm>

namespace {

QByteArray md5(const QByteArray &text)
{
    return QCryptographicHash::hash(text, QCryptographicHash::Md5).toHex();
}

// The pairs of 'Digest realm="r", nonce="n", qop="auth"'.
QHash<QByteArray, QByteArray> digestParameters(const QByteArray &text)
{
    QHash<QByteArray, QByteArray> parameters;
    int at = 0;
    while (at < text.size()) {
        const int equals = text.indexOf('=', at);
        if (equals < 0)
            break;
        const QByteArray name = text.mid(at, equals - at).trimmed().toLower();
        int end = equals + 1;
        QByteArray value;
        if (end < text.size() && text.at(end) == '"') {
            const int close = text.indexOf('"', end + 1);
            if (close < 0)
                break;
            value = text.mid(end + 1, close - end - 1);
            end = close + 1;
        } else {
            const int comma = text.indexOf(',', end);
            value = text.mid(end, (comma < 0 ? text.size() : comma) - end).trimmed();
            end = comma < 0 ? text.size() : comma;
        }
        parameters.insert(name, value);
        const int comma = text.indexOf(',', end);
        at = comma < 0 ? text.size() : comma + 1;
    }
    return parameters;
}

} // namespace

ProxyDigest::ProxyDigest(const QNetworkProxy &proxy, const QByteArray &target, const QByteArray &user, const QByteArray &password,
                         QObject *parent)
    : QObject(parent), target(target), user(user), password(password), exchange(proxy)
{
    connect(&exchange, &ProxyExchange::answered, this, &ProxyDigest::readAnswer);
    connect(&exchange, &ProxyExchange::failed, this, [this] { finish(false); });
}

QByteArray ProxyDigest::requestTarget(const QUrl &url)
{
    QUrl copy = url;
    if (copy.path().isEmpty())
        copy.setPath(QStringLiteral("/"));
    return copy.toEncoded(QUrl::RemoveFragment | QUrl::RemoveUserInfo | QUrl::NormalizePathSegments);
}

void ProxyDigest::start()
{
    send();
}

// First without credentials, to see which schemes the proxy asks for.
void ProxyDigest::send()
{
    const QByteArray host = QUrl::fromEncoded(target).authority(QUrl::FullyEncoded).toUtf8();
    QByteArray request = "TRACE " + target + " HTTP/1.1\r\nHost: " + host + "\r\nMax-Forwards: 0\r\n";
    if (!challenge.isEmpty())
        request += "Proxy-Authorization: " + authorization("TRACE", target) + "\r\n";
    exchange.send(request + "\r\n");
}

void ProxyDigest::readAnswer(int status, const QList<QByteArray> &lines)
{
    if (!challenge.isEmpty()) {
        if (status == 407)
            challenge.clear();
        finish(status == 407);
        return;
    }
    if (status == 407 && takeChallenge(lines))
        send();
    else
        finish(false);
}

// Digest only when the proxy offers nothing else: Basic goes with the request.
bool ProxyDigest::takeChallenge(const QList<QByteArray> &lines)
{
    QHash<QByteArray, QByteArray> offered;
    for (const QByteArray &line : lines) {
        const QByteArray field = line.trimmed();
        if (!field.toLower().startsWith("proxy-authenticate:"))
            continue;
        const QByteArray value = field.mid(19).trimmed();
        if (!value.toLower().startsWith("digest "))
            return false;
        offered = digestParameters(value.mid(7));
    }
    const QByteArray algorithm = offered.value("algorithm", "MD5").toUpper();
    const QList<QByteArray> qops = offered.value("qop").split(',');
    const bool auth = std::any_of(qops.cbegin(), qops.cend(), [](const QByteArray &qop) { return qop.trimmed() == "auth"; });
    if (offered.value("nonce").isEmpty() || algorithm != "MD5" || (offered.contains("qop") && !auth))
        return false;
    challenge = offered;
    return true;
}

QByteArray ProxyDigest::authorization(const QByteArray &method, const QByteArray &uri)
{
    if (challenge.isEmpty())
        return QByteArray();
    const QByteArray realm = challenge.value("realm");
    const QByteArray nonce = challenge.value("nonce");
    const QByteArray first = md5(user + ':' + realm + ':' + password);
    const QByteArray second = md5(method + ':' + uri);
    QByteArray header = "Digest username=\"" + user + "\", realm=\"" + realm + "\", nonce=\"" + nonce + "\", uri=\"" + uri + '"';
    if (challenge.contains("qop")) {
        const QByteArray nc = QByteArray::number(++count, 16).rightJustified(8, '0');
        const QByteArray cnonce = QByteArray::number(QRandomGenerator::global()->generate64(), 16);
        header += ", qop=auth, nc=" + nc + ", cnonce=\"" + cnonce + "\", response=\""
                  + md5(first + ':' + nonce + ':' + nc + ':' + cnonce + ":auth:" + second) + '"';
    } else {
        header += ", response=\"" + md5(first + ':' + nonce + ':' + second) + '"';
    }
    if (challenge.contains("opaque"))
        header += ", opaque=\"" + challenge.value("opaque") + '"';
    return header;
}

void ProxyDigest::finish(bool refused)
{
    if (exchange.end())
        emit finished(refused);
}
