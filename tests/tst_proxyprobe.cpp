#include "proxydigest.h"
#include "proxyprobe.h"
#include "requestheaders.h"

#include <QTcpServer>
#include <QtTest>

namespace {

// A proxy in the test process: answers the CONNECT on each connection as
// the script says ("close", "silent" or the bytes of an answer) and keeps
// every request it read.
class ConnectMimic : public QObject
{
public:
    explicit ConnectMimic(const QList<QByteArray> &answers)
        : script(answers)
    {
        server.listen(QHostAddress::LocalHost);
        connect(&server, &QTcpServer::newConnection, this, [this] {
            QTcpSocket *socket = server.nextPendingConnection();
            const QByteArray answer = script.value(connections++, "close");
            connect(socket, &QTcpSocket::readyRead, socket, [this, socket, answer] {
                pending += socket->readAll();
                const int end = int(pending.indexOf("\r\n\r\n"));
                if (end < 0)
                    return;
                requests << pending.left(end + 4);
                pending.clear();
                if (answer == "close")
                    socket->disconnectFromHost();
                else if (answer != "silent")
                    socket->write(answer);
            });
        });
    }

    quint16 port() const { return server.serverPort(); }

    QList<QByteArray> requests;

private:
    QTcpServer server;
    QList<QByteArray> script;
    QByteArray pending;
    int connections = 0;
};

const QByteArray request = "CONNECT example.org:443 HTTP/1.1\r\nHost: example.org:443\r\n\r\n";
const QByteArray answered = "CONNECT example.org:443 HTTP/1.1\r\nHost: example.org:443\r\n"
                            "Proxy-Authorization: Basic dXNlcjpwYXNz\r\n\r\n";

QByteArray asking(const QByteArray &schemes)
{
    QByteArray answer = "HTTP/1.1 407 Proxy Authentication Required\r\n";
    for (const QByteArray &scheme : schemes.split('|'))
        if (!scheme.isEmpty())
            answer += "Proxy-Authenticate: " + scheme + "\r\n";
    return answer + "Content-Length: 0\r\n\r\n";
}

} // namespace

class TestProxyProbe : public QObject
{
    Q_OBJECT

private slots:
    void answers_data();
    void answers();
    void digest_data();
    void digest();
    void target_data();
    void target();
};

void TestProxyProbe::answers_data()
{
    QTest::addColumn<QList<QByteArray>>("script");
    QTest::addColumn<QByteArray>("user");
    QTest::addColumn<int>("deadline");
    QTest::addColumn<bool>("refused");
    QTest::addColumn<QList<QByteArray>>("requests");

    const QByteArray established = "HTTP/1.1 200 Connection established\r\n\r\n";
    const QByteArray basic = asking("Basic realm=\"proxy\"");
    const int usual = 10 * 1000;
    QTest::newRow("200") << QList<QByteArray>{ established } << QByteArray() << usual << false << QList<QByteArray>{ request };
    QTest::newRow("200, credentials kept back") << QList<QByteArray>{ established } << QByteArray("user") << usual << false
                                                << QList<QByteArray>{ request };
    QTest::newRow("407 without credentials") << QList<QByteArray>{ basic } << QByteArray() << usual << true
                                             << QList<QByteArray>{ request };
    QTest::newRow("407 Basic, answered by 407") << QList<QByteArray>{ basic, basic } << QByteArray("user") << usual << true
                                                << QList<QByteArray>{ request, answered };
    QTest::newRow("407 Basic, answered by 401") << QList<QByteArray>{ basic, "HTTP/1.1 401 Unauthorized\r\n\r\n" } << QByteArray("user")
                                                << usual << true << QList<QByteArray>{ request, answered };
    QTest::newRow("407 Basic, answered by 200") << QList<QByteArray>{ basic, established } << QByteArray("user") << usual << false
                                                << QList<QByteArray>{ request, answered };
    QTest::newRow("407 Basic, answered by a close") << QList<QByteArray>{ basic, "close" } << QByteArray("user") << usual << false
                                                    << QList<QByteArray>{ request, answered };
    QTest::newRow("407 Digest only") << QList<QByteArray>{ asking("Digest realm=\"proxy\", nonce=\"1\"") } << QByteArray("user") << usual
                                     << false << QList<QByteArray>{ request };
    QTest::newRow("407 Basic beside Digest") << QList<QByteArray>{ asking("Basic realm=\"p\"|Digest realm=\"p\", nonce=\"1\"") }
                                             << QByteArray("user") << usual << false << QList<QByteArray>{ request };
    QTest::newRow("407 naming no scheme") << QList<QByteArray>{ asking("") } << QByteArray("user") << usual << false
                                          << QList<QByteArray>{ request };
    QTest::newRow("closed unanswered") << QList<QByteArray>{ "close" } << QByteArray("user") << usual << false
                                       << QList<QByteArray>{ request };
    QTest::newRow("silent past the deadline") << QList<QByteArray>{ "silent" } << QByteArray("user") << 300 << false
                                              << QList<QByteArray>{ request };
    QTest::newRow("answer over 16 KiB") << QList<QByteArray>{ "HTTP/1.1 407 Proxy Authentication Required\r\nX-Padding: "
                                                              + QByteArray(20000, 'x') }
                                        << QByteArray() << usual << false << QList<QByteArray>{ request };
}

void TestProxyProbe::answers()
{
    QFETCH(QList<QByteArray>, script);
    QFETCH(QByteArray, user);
    QFETCH(int, deadline);
    QFETCH(bool, refused);
    QFETCH(QList<QByteArray>, requests);

    ConnectMimic proxy(script);
    QVERIFY(proxy.port() != 0);
    ProxyProbe probe(QNetworkProxy(QNetworkProxy::HttpProxy, QStringLiteral("127.0.0.1"), proxy.port()), "example.org:443", user,
                     "pass", nullptr);
    probe.setDeadline(deadline);
    QSignalSpy finished(&probe, &ProxyProbe::finished);
    probe.start();
    QVERIFY(finished.wait(30000));
    // Whatever the proxy does after, the probe said its word.
    QCoreApplication::processEvents();
    QCOMPARE(finished.count(), 1);
    QCOMPARE(finished.first().first().toBool(), refused);
    QCOMPARE(proxy.requests, requests);
}

// The TRACE before a body: whether the proxy wants Digest, and refuses the answer.
void TestProxyProbe::digest_data()
{
    QTest::addColumn<QList<QByteArray>>("script");
    QTest::addColumn<bool>("refused");
    QTest::addColumn<int>("requests");
    // What the next request's Proxy-Authorization holds; empty when it has none.
    QTest::addColumn<QByteArray>("authorization");

    const QByteArray traced = "HTTP/1.1 200 OK\r\nContent-Type: message/http\r\n\r\n";
    const QByteArray digest = asking("Digest realm=\"a, b\", nonce=\"n1\", qop=\"auth\", opaque=\"o\"");
    QTest::newRow("Digest taken") << QList<QByteArray>{ digest, traced } << false << 2 << QByteArray("Digest username=\"user\", realm=\"a, b\", nonce=\"n1\", uri=\"http://example.org/u\", qop=auth, nc=00000002");
    QTest::newRow("Digest refused") << QList<QByteArray>{ digest, digest } << true << 2 << QByteArray();
    QTest::newRow("Digest without qop") << QList<QByteArray>{ asking("Digest realm=r, nonce=n2"), traced } << false << 2 << QByteArray("nonce=\"n2\", uri=\"http://example.org/u\", response=");
    QTest::newRow("Basic beside Digest") << QList<QByteArray>{ asking("Basic realm=\"p\"|Digest realm=\"p\", nonce=\"1\"") } << false << 1 << QByteArray();
    QTest::newRow("Digest in SHA-256 only") << QList<QByteArray>{ asking("Digest realm=\"p\", nonce=\"1\", algorithm=SHA-256") } << false << 1 << QByteArray();
    QTest::newRow("Digest for auth-int only") << QList<QByteArray>{ asking("Digest realm=\"p\", nonce=\"1\", qop=\"auth-int\"") } << false << 1 << QByteArray();
    QTest::newRow("nothing asked") << QList<QByteArray>{ traced } << false << 1 << QByteArray();
    QTest::newRow("closed before the answer to Digest") << QList<QByteArray>{ digest, "close" } << false << 2 << QByteArray("nc=00000002");
}

void TestProxyProbe::digest()
{
    QFETCH(QList<QByteArray>, script);
    QFETCH(bool, refused);
    QFETCH(int, requests);
    QFETCH(QByteArray, authorization);

    ConnectMimic proxy(script);
    QVERIFY(proxy.port() != 0);
    ProxyDigest digest(QNetworkProxy(QNetworkProxy::HttpProxy, QStringLiteral("127.0.0.1"), proxy.port()), "http://example.org/u", "user",
                       "pass", nullptr);
    QSignalSpy finished(&digest, &ProxyDigest::finished);
    digest.start();
    QVERIFY(finished.wait(30000));
    QCOMPARE(finished.first().first().toBool(), refused);
    QCOMPARE(proxy.requests.size(), requests);
    QVERIFY(proxy.requests.first().startsWith("TRACE http://example.org/u HTTP/1.1\r\nHost: example.org\r\nMax-Forwards: 0\r\n"));
    const QByteArray next = digest.authorization("POST", "http://example.org/u");
    QVERIFY2(authorization.isEmpty() ? next.isEmpty() : next.contains(authorization), next.constData());
}

// Where both transports ask the proxy to open a tunnel to.
void TestProxyProbe::target_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<QByteArray>("target");
    QTest::newRow("https, its default port") << QStringLiteral("https://example.org/up") << QByteArray("example.org:443");
    QTest::newRow("http, its default port") << QStringLiteral("http://u:p@example.org/up") << QByteArray("example.org:80");
    QTest::newRow("IPv6 in brackets, own port") << QStringLiteral("http://[::1]:8080/up") << QByteArray("[::1]:8080");
    QTest::newRow("name in ACE") << QStringLiteral("https://b\u00fccher.de/") << QByteArray("xn--bcher-kva.de:443");
}

void TestProxyProbe::target()
{
    QFETCH(QString, url);
    QFETCH(QByteArray, target);
    QCOMPARE(RequestHeaders::proxyTarget(QUrl(url)), target);
}

QTEST_GUILESS_MAIN(TestProxyProbe)
#include "tst_proxyprobe.moc"
