#include "filetransfer.h"
#include "messagecapture.h"
#include "receiverprocess.h"
#include "refusingport.h"
#include "testfiles.h"
#include "tinyproxyprocess.h"
#include "uploadjob.h"
#include "uploaderrun.h"

#include <QSslCertificate>
#include <QSslConfiguration>
#include <QtTest>

namespace {

struct InProcessRun
{
    QStringList lines;
    bool failed = true;
    int exitStatus = 1;
};

// What main() does, in this process, whose default TLS configuration trusts the test authority.
InProcessRun uploadInProcess(const QString &url, const QString &path, qint64 start, qint64 end,
                             const QByteArray &proxyPort = QByteArray(), const char *useProxy = "false", int retries = 0)
{
    MessageCapture capture;
    InProcessRun run;
    FileTransfer *transfer = new FileTransfer(QCoreApplication::instance());
    transfer->setRetries(retries);
    const bool posted = transfer->upload(url.toUtf8().constData(), "token", QFile::encodeName(path).constData(), start, end,
                                         "127.0.0.1", proxyPort.constData(), useProxy);
    if (posted) {
        QObject::connect(transfer->job(), &UploadJob::finished, QCoreApplication::instance(), &QCoreApplication::quit);
        QTimer guard;
        QObject::connect(&guard, &QTimer::timeout, QCoreApplication::instance(), &QCoreApplication::quit);
        guard.start(60000);
        QCoreApplication::exec();
    }
    run.failed = !posted || transfer->hasFailed();
    if (posted)
        run.exitStatus = int(transfer->result().exitStatus);
    delete transfer;
    run.lines = capture.lines();
    return run;
}

bool openssl(const QStringList &arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(QStringLiteral("openssl"), arguments);
    const bool succeeded = process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit
                           && process.exitCode() == 0;
    if (!succeeded)
        qWarning("%s", process.readAll().constData());
    return succeeded;
}

} // namespace

class TestNetwork : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void tlsAccepted_data();
    void tlsAccepted();
    void tlsRefused_data();
    void tlsRefused();
    void proxySwitch_data();
    void proxySwitch();
    void httpsThroughProxy();
    void proxyFailures_data();
    void proxyFailures();
    void oneSendPerAttempt_data();
    void oneSendPerAttempt();

private:
    QString pki(const char *name) const { return directory.filePath(QString::fromLatin1(name)); }
    bool signServerCertificate(const char *name, const char *request, const char *subjectAltName, const char *days);

    QTemporaryDir directory;
    QString path;
    QByteArray content;
};

bool TestNetwork::signServerCertificate(const char *name, const char *request, const char *subjectAltName,
                                        const char *days)
{
    QFile extensions(pki("extensions"));
    if (!extensions.open(QIODevice::WriteOnly))
        return false;
    extensions.write(QByteArray("subjectAltName=") + subjectAltName + '\n');
    extensions.close();
    return openssl({ QStringLiteral("x509"), QStringLiteral("-req"), QStringLiteral("-in"), pki(request),
                     QStringLiteral("-CA"), pki("ca.pem"), QStringLiteral("-CAkey"), pki("ca.key"),
                     QStringLiteral("-CAcreateserial"), QStringLiteral("-days"), QString::fromLatin1(days),
                     QStringLiteral("-extfile"), extensions.fileName(), QStringLiteral("-out"), pki(name) });
}

void TestNetwork::initTestCase()
{
    QVERIFY(directory.isValid());
    QVERIFY(QSslSocket::supportsSsl());
    const QString subject = QStringLiteral("-subj");
    QVERIFY(openssl({ QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"), QStringLiteral("rsa:2048"),
                      QStringLiteral("-nodes"), QStringLiteral("-keyout"), pki("ca.key"), QStringLiteral("-out"), pki("ca.pem"),
                      QStringLiteral("-days"), QStringLiteral("2"), subject, QStringLiteral("/CN=Uploader Test Authority") }));
    QVERIFY(openssl({ QStringLiteral("req"), QStringLiteral("-newkey"), QStringLiteral("rsa:2048"), QStringLiteral("-nodes"),
                      QStringLiteral("-keyout"), pki("server.key"), QStringLiteral("-out"), pki("server.csr"), subject,
                      QStringLiteral("/CN=127.0.0.1") }));
    // Qt also matches the common name, so the other host's name is in both.
    QVERIFY(openssl({ QStringLiteral("req"), QStringLiteral("-new"), QStringLiteral("-key"), pki("server.key"),
                      QStringLiteral("-out"), pki("other.csr"), subject, QStringLiteral("/CN=other.invalid") }));
    QVERIFY(signServerCertificate("good.pem", "server.csr", "IP:127.0.0.1,DNS:localhost", "2"));
    QVERIFY(signServerCertificate("expired.pem", "server.csr", "IP:127.0.0.1,DNS:localhost", "-1"));
    QVERIFY(signServerCertificate("otherhost.pem", "other.csr", "DNS:other.invalid", "2"));
    // The signature closes the certificate: its last byte changed, the rest still matches the key.
    QVERIFY(openssl({ QStringLiteral("x509"), QStringLiteral("-in"), pki("good.pem"), QStringLiteral("-outform"), QStringLiteral("DER"),
                      QStringLiteral("-out"), pki("good.der") }));
    QFile der(pki("good.der"));
    QVERIFY(der.open(QIODevice::ReadWrite));
    QByteArray bytes = der.readAll();
    bytes[bytes.size() - 1] = char(bytes.at(bytes.size() - 1) ^ 0x5a);
    QVERIFY(der.seek(0) && der.write(bytes) == bytes.size());
    der.close();
    QVERIFY(openssl({ QStringLiteral("x509"), QStringLiteral("-inform"), QStringLiteral("DER"), QStringLiteral("-in"), pki("good.der"),
                      QStringLiteral("-out"), pki("badsignature.pem") }));
    QVERIFY(openssl({ QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-key"), pki("server.key"),
                      QStringLiteral("-out"), pki("selfsigned.pem"), QStringLiteral("-days"), QStringLiteral("2"), subject,
                      QStringLiteral("/CN=127.0.0.1"), QStringLiteral("-addext"), QStringLiteral("subjectAltName=IP:127.0.0.1") }));

    // The program keeps the default configuration; here that default trusts the test authority.
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setCaCertificates(configuration.caCertificates() << QSslCertificate::fromPath(pki("ca.pem")));
    QSslConfiguration::setDefaultConfiguration(configuration);

    for (int i = 0; i < 300000; ++i)
        content += char(i * 7 + (i >> 9));
    path = directory.filePath(QStringLiteral("data.bin"));
    QVERIFY(writeTestFile(path, content));
}

void TestNetwork::tlsAccepted_data()
{
    QTest::addColumn<QString>("version");
    QTest::newRow("TLS 1.2") << QStringLiteral("TLSv1_2");
    QTest::newRow("TLS 1.3") << QStringLiteral("TLSv1_3");
}

void TestNetwork::tlsAccepted()
{
    QFETCH(QString, version);
    ReceiverProcess receiver({ QStringLiteral("--tls-cert"), pki("good.pem"), QStringLiteral("--tls-key"), pki("server.key"),
                               QStringLiteral("--tls-version"), version });
    QVERIFY(receiver.isListening());
    const InProcessRun run = uploadInProcess(receiver.url(QStringLiteral("https")), path, 1234, 250000);
    QVERIFY2(!run.failed, qPrintable(run.lines.join(QLatin1Char('\n'))));
    QVERIFY(run.lines.contains(QStringLiteral(" >> status_code =  201 ")));
    QCOMPARE(run.lines.last(), QStringLiteral(" >> Bye... "));
    QCOMPARE(receiver.storedBody(1), content.mid(1234, 250000 - 1234));
}

void TestNetwork::tlsRefused_data()
{
    QTest::addColumn<QString>("certificate");
    QTest::addColumn<QString>("version");
    QTest::newRow("self-signed") << QStringLiteral("selfsigned.pem") << QString();
    QTest::newRow("expired") << QStringLiteral("expired.pem") << QString();
    QTest::newRow("other host name") << QStringLiteral("otherhost.pem") << QString();
    // The one error the program ignores is "unable to decrypt the signature", which
    // OpenSSL no longer reports: a corrupted signature is still refused.
    QTest::newRow("corrupted signature") << QStringLiteral("badsignature.pem") << QString();
    QTest::newRow("TLS 1.0 only") << QStringLiteral("good.pem") << QStringLiteral("TLSv1");
    QTest::newRow("TLS 1.1 only") << QStringLiteral("good.pem") << QStringLiteral("TLSv1_1");
}

// Refused before any byte of the body reaches the server, reported as a failure.
void TestNetwork::tlsRefused()
{
    QFETCH(QString, certificate);
    QFETCH(QString, version);
    QStringList options = { QStringLiteral("--tls-cert"), directory.filePath(certificate), QStringLiteral("--tls-key"),
                            pki("server.key") };
    if (!version.isEmpty())
        options << QStringLiteral("--tls-version") << version;
    ReceiverProcess receiver(options);
    QVERIFY(receiver.isListening());
    const InProcessRun run = uploadInProcess(receiver.url(QStringLiteral("https")), path, 0, 1000);
    QVERIFY(run.failed);
    QCOMPARE(run.lines.mid(4).join(QLatin1Char('\n')), QStringLiteral(" >> Reply Error #: 6 \n >> Exit with error! "));
    QCOMPARE(run.exitStatus, 1);
    QCOMPARE(receiver.storedCount(), 0);
}

void TestNetwork::httpsThroughProxy()
{
    TinyproxyProcess proxy;
    QVERIFY(proxy.isListening());
    ReceiverProcess receiver({ QStringLiteral("--tls-cert"), pki("good.pem"), QStringLiteral("--tls-key"), pki("server.key") });
    QVERIFY(receiver.isListening());
    const InProcessRun run = uploadInProcess(receiver.url(QStringLiteral("https")), path, 5, 299999,
                                             QByteArray::number(proxy.port()), "true");
    QVERIFY2(!run.failed, qPrintable(run.lines.join(QLatin1Char('\n'))));
    QCOMPARE(receiver.storedBody(1), content.mid(5, 299999 - 5));
    QVERIFY2(proxy.log().contains("CONNECT"), proxy.log().constData());
}

void TestNetwork::proxySwitch_data()
{
    QTest::addColumn<QString>("useProxy");
    QTest::addColumn<bool>("proxied");
    QTest::newRow("true") << QStringLiteral("true") << true;
    QTest::newRow("True") << QStringLiteral("True") << false;
    QTest::newRow("false") << QStringLiteral("false") << false;
    QTest::newRow("yes") << QStringLiteral("yes") << false;
    QTest::newRow("empty") << QString() << false;
}

// Only "true" sends an http upload through the proxy, which marks it with its Via header.
void TestNetwork::proxySwitch()
{
    QFETCH(QString, useProxy);
    QFETCH(bool, proxied);
    TinyproxyProcess proxy;
    QVERIFY(proxy.isListening());
    ReceiverProcess receiver;
    QVERIFY(receiver.isListening());
    const UploaderRun run = UploaderRun::run({ receiver.url(), QStringLiteral("t"), path, QStringLiteral("10"),
                                               QStringLiteral("290000"), QStringLiteral("127.0.0.1"),
                                               QString::number(proxy.port()), useProxy });
    QVERIFY2(run.exitCode == 0, run.errorOutput.constData());
    QCOMPARE(receiver.storedCount(), 1);
    QCOMPARE(receiver.storedBody(1), content.mid(10, 290000 - 10));
    const QList<QByteArray> headers = receiver.storedHeaderLines(1);
    const bool via = std::any_of(headers.cbegin(), headers.cend(), [](const QByteArray &line) {
        return line.startsWith("Via:") && line.contains("tinyproxy");
    });
    QVERIFY2(via == proxied, headers.join('\n').constData());
    QCOMPARE(proxy.log().contains("Established connection"), proxied);
}

void TestNetwork::proxyFailures_data()
{
    QTest::addColumn<bool>("proxyUp");
    QTest::addColumn<QString>("scheme");
    QTest::addColumn<int>("exitStatus");
    QTest::newRow("proxy down, http") << false << QStringLiteral("http") << 75;
    QTest::newRow("proxy down, https") << false << QStringLiteral("https") << 75;
    QTest::newRow("proxy refuses the target, http") << true << QStringLiteral("http") << 1;
    // A refused CONNECT reaches Qt as a refused proxy connection, with no HTTP status.
    QTest::newRow("proxy refuses the target, https") << true << QStringLiteral("https") << 75;
}

void TestNetwork::proxyFailures()
{
    QFETCH(bool, proxyUp);
    QFETCH(QString, scheme);
    QFETCH(int, exitStatus);
    QScopedPointer<TinyproxyProcess> proxy;
    const RefusingPort refusing;
    QByteArray proxyPort;
    if (proxyUp) {
        proxy.reset(new TinyproxyProcess(TinyproxyProcess::DenyAll));
        QVERIFY(proxy->isListening());
        proxyPort = QByteArray::number(proxy->port());
    } else {
        QVERIFY(refusing.port() != 0);
        proxyPort = QByteArray::number(refusing.port());
    }
    ReceiverProcess receiver({ QStringLiteral("--tls-cert"), pki("good.pem"), QStringLiteral("--tls-key"), pki("server.key") });
    QVERIFY(receiver.isListening());
    const InProcessRun run = uploadInProcess(receiver.url(scheme), path, 0, 1000, proxyPort, "true");
    QVERIFY(run.failed);
    // Which code Qt gives depends on where the proxy stopped the request.
    const QString ending = run.lines.mid(run.lines.size() - 2).join(QLatin1Char('\n'));
    QVERIFY2(QRegularExpression(QStringLiteral("^ >> Reply Error #: [1-9][0-9]* \n >> Exit with error! $")).match(ending).hasMatch(),
             qPrintable(ending));
    QCOMPARE(run.exitStatus, exitStatus);
    QCOMPARE(receiver.storedCount(), 0);
}

void TestNetwork::oneSendPerAttempt_data()
{
    QTest::addColumn<QString>("scheme");
    QTest::addColumn<int>("retries");
    // Left to itself, Qt posted the body twice over http and four times over https.
    QTest::newRow("http") << QStringLiteral("http") << 0;
    QTest::newRow("https") << QStringLiteral("https") << 0;
    QTest::newRow("https, one retry") << QStringLiteral("https") << 1;
}

// A server that takes the body and closes without answering gets it once per
// attempt, each time from the start of the range.
void TestNetwork::oneSendPerAttempt()
{
    QFETCH(QString, scheme);
    QFETCH(int, retries);
    QStringList options = { QStringLiteral("--fault"), QStringLiteral("close-no-reply") };
    if (scheme == QLatin1String("https"))
        options << QStringLiteral("--tls-cert") << pki("good.pem") << QStringLiteral("--tls-key") << pki("server.key");
    ReceiverProcess receiver(options);
    QVERIFY(receiver.isListening());
    const InProcessRun run = uploadInProcess(receiver.url(scheme), path, 1000, 101000, QByteArray(), "false", retries);
    QCOMPARE(run.exitStatus, 75);
    QVERIFY2(run.lines.endsWith(QStringLiteral(" >> Exit with error! ")), qPrintable(run.lines.join(QLatin1Char('\n'))));
    QCOMPARE(run.lines.count(QStringLiteral(" >> Connection closed before an answer: the chunk is not sent again within the attempt ")),
             retries + 1);
    QCOMPARE(receiver.storedCount(), retries + 1);
    for (int i = 1; i <= retries + 1; ++i)
        QCOMPARE(receiver.storedBody(i), content.mid(1000, 100000));
}

QTEST_GUILESS_MAIN(TestNetwork)
#include "tst_network.moc"
