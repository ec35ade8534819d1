#include "curlmulti.h"
#include "curltransfer.h"
#include "rangedevice.h"
#include "ratelimiter.h"
#include "receiverprocess.h"
#include "replybudget.h"
#include "requestheaders.h"
#include "squidprocess.h"
#include "testauthority.h"
#include "testfiles.h"
#include "tinyproxyprocess.h"

#include <QtTest>

#include <fcntl.h>
#include <unistd.h>

class TestCurlTransfer : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void chunks_data();
    void chunks();

private:
    QString pki(const char *name) const { return authority.path(name); }

    TestAuthority authority;
    RandomFile testFile;
};

void TestCurlTransfer::initTestCase()
{
    QVERIFY(CurlMulti::initialize());
    // Three of the receiver's reads: it resets halfway on a read's boundary.
    QVERIFY(testFile.create(3 << 20, 28));
    QVERIFY(authority.create());
}

void TestCurlTransfer::chunks_data()
{
    QTest::addColumn<QString>("receiverOptions");
    // "tinyproxy" or "squid" (Digest), "wrong" for a password it refuses, "tunnel" for https through it.
    QTest::addColumn<QString>("setup");
    QTest::addColumn<int>("chunks");
    QTest::addColumn<int>("retries");
    QTest::addColumn<int>("exitStatus");
    // Of the last chunk: the failure line it ends with, and its attempts (-1: not checked).
    QTest::addColumn<QByteArray>("failure");
    QTest::addColumn<int>("attempts");
    // Connections the stored chunks came on; 0 leaves it unchecked.
    QTest::addColumn<int>("connections");
    // What the result's message adds after the line (libcurl's words), or the start of it.
    QTest::addColumn<QByteArray>("detail");

    QTest::newRow("kept connection: four chunks, one connection") << "" << "" << 4 << 0 << 0 << QByteArray() << 1 << 1 << QByteArray();
    // A chunk may meet the connection closing as it starts, and is sent again.
    QTest::newRow("server closes after each reply: a connection each") << "--close-after-reply" << "" << 4 << 1 << 0 << QByteArray() << -1 << 4 << QByteArray();
    QTest::newRow("gzip reply inflated") << "--encoding gzip" << "" << 1 << 0 << 0 << QByteArray() << 1 << 1 << QByteArray();
    QTest::newRow("reset mid-body, no retry left") << "--fault reset-mid-body" << "" << 1 << 0 << 75 << QByteArray(" >> Reply Error #: 2 ") << 1 << 0 << QByteArray();
    QTest::newRow("503 with Retry-After, retried") << "--fail-first 1 --fail-header Retry-After:1" << "" << 1 << 1 << 0 << QByteArray() << 2 << 0 << QByteArray();
    QTest::newRow("503, no retry left") << "--fail-first 1" << "" << 1 << 0 << 75 << QByteArray(" >> Reply Error #: 403 ") << 1 << 0 << QByteArray();
    QTest::newRow("closed without an answer") << "--fault close-no-reply" << "" << 1 << 0 << 75 << QByteArray(" >> Reply Error #: 2 ") << 1 << 0 << QByteArray();
    QTest::newRow("404 is final") << "--status 404" << "" << 1 << 3 << 1 << QByteArray(" >> Reply Error #: 203 ") << 1 << 0 << QByteArray();
    QTest::newRow("reply declared over the cap") << "--reply-size 67108865" << "" << 1 << 3 << 1
                                                 << QByteArray(" >> Reply too large: more than 67108864 Byte ") << 1 << 0 << QByteArray();
    QTest::newRow("server holds: given up when idle") << "--fault hold" << "" << 1 << 0 << 75
                                                      << QByteArray(" >> Timed out: no data moved for 1 seconds ") << 1 << 0 << QByteArray();
    QTest::newRow("paced by a rate limit, body intact") << "" << "limit" << 2 << 0 << 0 << QByteArray() << 1 << 1 << QByteArray();
    const QByteArray refused = " >> Proxy authentication failed: check UPLOADER_PROXY_USER and UPLOADER_PROXY_PASSWORD ";
    QTest::newRow("Basic proxy") << "" << "tinyproxy" << 2 << 0 << 0 << QByteArray() << 1 << 0 << QByteArray();
    // tinyproxy answers before it reads the body and closes: the reset may come before its answer is read.
    QTest::newRow("Basic proxy, wrong password") << "" << "tinyproxy wrong" << 1 << 3 << 1 << refused << 1 << 0 << QByteArray();
    // The next chunk is started, and waited for, from within the end of one that the proxy's answer ended.
    QTest::newRow("Basic proxy, wrong password, next chunk from the end") << "" << "tinyproxy wrong nested" << 1 << 0 << 1 << refused << 1 << 0 << QByteArray();
    QTest::newRow("Basic proxy, no credentials") << "" << "tinyproxy none" << 1 << 3 << 1 << refused << 1 << 0 << QByteArray();
    QTest::newRow("Basic proxy, tunnel") << "" << "tinyproxy tunnel" << 2 << 0 << 0 << QByteArray() << 1 << 0 << QByteArray();
    QTest::newRow("Digest proxy") << "" << "squid" << 2 << 0 << 0 << QByteArray() << 1 << 0 << QByteArray();
    QTest::newRow("Digest proxy, wrong password") << "" << "squid wrong" << 1 << 3 << 1 << refused << 1 << 0 << QByteArray();
    QTest::newRow("Digest proxy, tunnel") << "" << "squid tunnel" << 2 << 0 << 0 << QByteArray() << 1 << 0 << QByteArray();
    QTest::newRow("https, private authority") << "tls" << "authority" << 2 << 0 << 0 << QByteArray() << 1 << 1 << QByteArray();
    QTest::newRow("https, authority unknown") << "tls" << "" << 1 << 3 << 1 << QByteArray(" >> Reply Error #: 6 ") << 1 << 0
                                              << QByteArray("SSL certificate problem: unable to get local issuer certificate");
    // TLS 1.3: the server asks for the certificate after the handshake, and its refusal will come again.
    QTest::newRow("https, client certificate wanted, none given") << "tls client TLSv1_3" << "authority" << 1 << 3 << 1
                                                                  << QByteArray(" >> Reply Error #: 6 ") << 1 << 0 << QByteArray();
    QTest::newRow("scheme other than http and https refused") << "" << "scheme file" << 1 << 3 << 1 << QByteArray(" >> Reply Error #: 301 ") << 1
                                                              << 0 << QByteArray("Protocol \"file\" not supported");
    // An option libcurl refuses (a string over its 8 MB) leaves the request unsent, rather than sent without it.
    QTest::newRow("option refused by libcurl: nothing sent") << "" << "refused option" << 1 << 3 << 1
                                                             << QByteArray(" >> Cannot set up libcurl: CURLOPT_PROXY: A libcurl function was given a bad argument ")
                                                             << 1 << 0 << QByteArray();
    // Started from within another transfer's callback, the transfer is not taken: it ends, and may pass later.
    QTest::newRow("not taken by the multi handle, no retry left") << "" << "from a callback" << 1 << 0 << 75
                                                                  << QByteArray(" >> Cannot start the transfer: API function called from within callback ")
                                                                  << 1 << 0 << QByteArray();
    QTest::newRow("not taken by the multi handle, then retried") << "" << "from a callback" << 1 << 1 << 0 << QByteArray() << 2 << 0 << QByteArray();
    // The replies of a run share a budget: a reply that cannot get its share ends its chunk, which may pass when others are done.
    QTest::newRow("reply over the run's budget") << "--reply-size 2097152" << "budget" << 1 << 0 << 75
                                                 << QByteArray(" >> Reply too large beside the others in flight: replies may hold 1048576 Byte together ")
                                                 << 1 << 0 << QByteArray();
    QTest::newRow("reply within the run's budget") << "--reply-size 614400" << "budget" << 2 << 0 << 0 << QByteArray() << 1 << 1 << QByteArray();
    QTest::newRow("https, client certificate asked for") << "tls client" << "authority client" << 1 << 0 << 0 << QByteArray() << 1 << 1 << QByteArray();
}

// Chunks one after another on one transfer, as a slot of uploader-file sends them.
void TestCurlTransfer::chunks()
{
    QFETCH(QString, receiverOptions);
    QFETCH(QString, setup);
    QFETCH(int, chunks);
    QFETCH(int, retries);
    QFETCH(int, exitStatus);
    QFETCH(QByteArray, failure);
    QFETCH(int, attempts);
    QFETCH(int, connections);
    QFETCH(QByteArray, detail);
    QStringList options = receiverOptions.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (options.removeAll(QStringLiteral("TLSv1_3")))
        options << QStringLiteral("--tls-version") << QStringLiteral("TLSv1_3");
    const bool secure = options.removeAll(QStringLiteral("tls")) + setup.contains(QLatin1String("tunnel")) > 0;
    if (secure)
        options << QStringLiteral("--tls-cert") << pki("good.pem") << QStringLiteral("--tls-key") << pki("server.key");
    if (options.removeAll(QStringLiteral("client")))
        options << QStringLiteral("--client-ca") << pki("ca.pem");
    ReceiverProcess receiver(options);
    QVERIFY(receiver.isListening());

    CurlTransfer::Settings settings;
    settings.upload.apiToken = "token";
    settings.upload.idleTimeout = options.contains(QStringLiteral("hold")) ? 1 : 60;
    settings.upload.retries = retries;
    QScopedPointer<TinyproxyProcess> tinyproxy(setup.startsWith(QLatin1String("tinyproxy")) ? new TinyproxyProcess(TinyproxyProcess::BasicAuth)
                                                                                             : nullptr);
    QScopedPointer<SquidProcess> squid(setup.startsWith(QLatin1String("squid")) ? new SquidProcess : nullptr);
    if (tinyproxy || squid) {
        QVERIFY(tinyproxy ? tinyproxy->isListening() : squid->isListening());
        settings.upload.proxyHost = "127.0.0.1";
        settings.upload.proxyPort = tinyproxy ? tinyproxy->port() : squid->port();
        settings.upload.proxyUser = setup.contains(QLatin1String("none")) ? QByteArray() : tinyproxy ? TinyproxyProcess::user : SquidProcess::user;
        settings.upload.proxyPassword = setup.contains(QLatin1String("wrong")) ? QByteArray("wrongS3cret")
                                 : tinyproxy                            ? TinyproxyProcess::password
                                                                        : SquidProcess::password;
    }
    if (secure && (setup.contains(QLatin1String("authority")) || setup.contains(QLatin1String("tunnel"))))
        settings.authorityFile = QFile::encodeName(pki("ca.pem"));
    if (setup.contains(QLatin1String("client"))) {
        QFile certificate(pki("client.pem"));
        QFile key(pki("client.key"));
        QVERIFY(certificate.open(QIODevice::ReadOnly) && key.open(QIODevice::ReadOnly));
        settings.clientCertificate = certificate.readAll();
        settings.clientKey = key.readAll();
    }
    RateLimiter limiter(4 << 20);
    if (setup == QLatin1String("limit"))
        settings.limiter = &limiter;
    ReplyBudget budget(1 << 20);
    if (setup == QLatin1String("budget"))
        settings.replyBudget = &budget;
    if (setup == QLatin1String("refused option")) {
        settings.upload.proxyHost = QByteArray(8000001, 'a');
        settings.upload.proxyPort = 1;
    }

    CurlMulti multi;
    CurlTransfer transfer(&multi, settings);
    int finished = 0;
    // As the chunk ended: the transfer lets go of its reply once that is handled.
    UploadResult last;
    connect(&transfer, &CurlTransfer::finished, this, [&finished, &last](const UploadResult &result) {
        ++finished;
        last = result;
    });
    // Starts the transfer from within its own callback, where libcurl takes no new one.
    QScopedPointer<CurlTransfer> helper;
    bool helped = false;
    const int descriptor = ::open(QFile::encodeName(testFile.pathOf(QStringLiteral("data.bin"))).constData(), O_RDONLY | O_CLOEXEC);
    QVERIFY(descriptor >= 0);
    const qint64 size = testFile.content().size() / chunks;
    const QString url = setup == QLatin1String("scheme file") ? QStringLiteral("file://") + testFile.pathOf(QStringLiteral("data.bin"))
                                                              : receiver.url(secure ? QStringLiteral("https") : QStringLiteral("http"));
    const bool nested = setup.endsWith(QLatin1String("nested"));
    connect(&transfer, &CurlTransfer::finished, this, [&] {
        if (nested && finished == 1) {
            // A loop of its own: qWait would delete the probe that is still ending the first chunk.
            QEventLoop loop;
            connect(&transfer, &CurlTransfer::finished, &loop, &QEventLoop::quit);
            transfer.start(url.toUtf8() + "?chunk=1", new RangeDevice(descriptor, RangeDevice::Ownership::Shared, 0, size, nullptr), QDeadlineTimer::Forever);
            loop.exec();
        }
    });
    QElapsedTimer clock;
    clock.start();
    for (int chunk = 0; chunk < chunks; ++chunk) {
        const QByteArray address = url.toUtf8() + "?chunk=" + QByteArray::number(chunk);
        RangeDevice *body = new RangeDevice(descriptor, RangeDevice::Ownership::Shared, chunk * size, size, nullptr);
        if (setup == QLatin1String("from a callback")) {
            helper.reset(new CurlTransfer(&multi, settings));
            connect(helper.data(), &CurlTransfer::uploadProgress, this, [&transfer, &helped, address, body] {
                if (!helped)
                    transfer.start(address, body, QDeadlineTimer::Forever);
                helped = true;
            });
            helper->start(url.toUtf8() + "?chunk=helper", new RangeDevice(descriptor, RangeDevice::Ownership::Shared, 0, size, nullptr),
                          QDeadlineTimer::Forever);
        } else {
            transfer.start(address, body, QDeadlineTimer::Forever);
            // Never from within the call: the caller would start its next chunk within it, and so on.
            QCOMPARE(finished, chunk);
        }
        QTRY_VERIFY_WITH_TIMEOUT(finished == chunk + 1 + int(nested), 60000);
        const UploadResult result = last;
        if (chunk < chunks - 1 || exitStatus == 0) {
            QVERIFY2(result.exitStatus == ExitStatus::Success, result.failure.constData());
            QCOMPARE(result.httpStatus, 201);
            // Read with the script engine's share of the budget: 80 bytes for each of the reply's, more than 1 MiB here.
            if (setup == QLatin1String("budget"))
                QVERIFY(!result.statusCodeShown);
            else
                QCOMPARE(result.statusCode, 201);
        }
    }
    ::close(descriptor);
    // Never ahead of the rate: 3 MiB at 4 MiB/s.
    QVERIFY(!settings.limiter || clock.elapsed() >= 700);
    const UploadResult result = last;
    QVERIFY2(int(result.exitStatus) == exitStatus, (result.failure + result.detail).constData());
    QCOMPARE(result.failure, failure);
    QVERIFY2(result.detail.startsWith(detail), result.detail.constData());
    // Let go once the end was handled.
    QVERIFY(transfer.result().reply.isNull());
    // Refused on its declared length, before a byte of it is held.
    QVERIFY(!failure.startsWith(" >> Reply too large: ") || result.reply.isEmpty());
    QVERIFY(attempts < 0 || result.attempts == attempts);
    // Every chunk the server answered arrived whole, in order.
    const int stored = exitStatus == 0 ? chunks : chunks - 1;
    QCOMPARE(receiver.storedCount() >= stored, true);
    for (int chunk = 0; chunk < stored; ++chunk)
        QCOMPARE(receiver.storedBody(receiver.storedCount() - stored + chunk + 1), testFile.content().mid(chunk * size, size));
    // Straight after the host, the eight headers uploader sets, in its order.
    const QList<QByteArray> eight = { "X_ZORV_API_TOKEN: token", "X_ZORV_LOCAL_TS_OFFSET: " + RequestHeaders::localTimeZoneOffset().toLatin1(),
                                      "USER-AGENT: tovanel/5.0.0", "Accept-Encoding: gzip,deflate", "Content-Type: application/octet-stream",
                                      "Content-Length: " + QByteArray::number(size), "Connection: Keep-Alive", "Keep-Alive: timeout=20000" };
    QVERIFY(tinyproxy || squid || stored == 0 || receiver.storedHeaderLines(receiver.storedCount()).mid(2, 8) == eight);
    QSet<int> used;
    for (int request = 1; request <= receiver.storedCount(); ++request)
        used.insert(receiver.storedConnection(request));
    QVERIFY(connections == 0 || used.size() == connections);
}

QTEST_GUILESS_MAIN(TestCurlTransfer)
#include "tst_curltransfer.moc"
