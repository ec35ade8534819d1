#include "clientcertificate.h"
#include "messagecapture.h"
#include "scopedenvironment.h"
#include "testauthority.h"
#include "tlsconfiguration.h"

#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QtTest>

class TestClientCertificate : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void apply_data();
    void apply();

private:
    // The variables apply() reads: "NAME=file" names a file of the authority's folder, "NAME==text" gives the text.

    TestAuthority authority;
};

void TestClientCertificate::initTestCase()
{
    QVERIFY(authority.create());
}

void TestClientCertificate::cleanup()
{
    authority.restoreDefault();
}

void TestClientCertificate::apply_data()
{
    QTest::addColumn<QStringList>("settings");
    // The line printed, PATH standing for the folder; empty when the certificate is taken.
    QTest::addColumn<QString>("line");
    // Certificates in the chain shown, and the key's algorithm.
    QTest::addColumn<int>("chain");
    QTest::addColumn<int>("algorithm");
    const QString certificate = QStringLiteral("UPLOADER_CLIENT_CERT=client.pem");
    const QString key = QStringLiteral("UPLOADER_CLIENT_KEY=client.key");
    const QString encrypted = QStringLiteral("UPLOADER_CLIENT_KEY=client-encrypted.key");
    const QString password = QStringLiteral("UPLOADER_CLIENT_KEY_PASSWORD==") + QLatin1String(TestAuthority::keyPassword);
    const int rsa = QSsl::Rsa;
    QTest::newRow("none: nothing shown") << QStringList() << QString() << 0 << rsa;
    QTest::newRow("RSA certificate and key") << QStringList{ certificate, key } << QString() << 1 << rsa;
    QTest::newRow("elliptic-curve certificate and key") << QStringList{ QStringLiteral("UPLOADER_CLIENT_CERT=ec.pem"), QStringLiteral("UPLOADER_CLIENT_KEY=ec.key") }
                                                        << QString() << 1 << int(QSsl::Ec);
    QTest::newRow("certificate with its authority: the chain shown") << QStringList{ QStringLiteral("UPLOADER_CLIENT_CERT=chain.pem"), key }
                                                                     << QString() << 2 << rsa;
    QTest::newRow("encrypted key and its password") << QStringList{ certificate, encrypted, password } << QString() << 1 << rsa;
    QTest::newRow("certificate and its key in one file") << QStringList{ QStringLiteral("UPLOADER_CLIENT_CERT=combined.pem"), encrypted, password } << QString() << 1 << rsa;
    QTest::newRow("password of a key that needs none") << QStringList{ certificate, key, password } << QString() << 1 << rsa;
    QTest::newRow("encrypted key without a password") << QStringList{ certificate, encrypted }
                                                      << " >> Invalid UPLOADER_CLIENT_KEY_PASSWORD: \"PATH/client-encrypted.key\" " << 0 << rsa;
    QTest::newRow("encrypted key, wrong password") << QStringList{ certificate, encrypted, QStringLiteral("UPLOADER_CLIENT_KEY_PASSWORD==wrong") }
                                                   << " >> Invalid UPLOADER_CLIENT_KEY_PASSWORD: \"PATH/client-encrypted.key\" " << 0 << rsa;
    QTest::newRow("key without its certificate") << QStringList{ key } << " >> Invalid UPLOADER_CLIENT_CERT: \"\" " << 0 << rsa;
    QTest::newRow("certificate file without a certificate") << QStringList{ QStringLiteral("UPLOADER_CLIENT_CERT=notes.txt"), key }
                                                            << " >> Invalid UPLOADER_CLIENT_CERT: \"PATH/notes.txt\" " << 0 << rsa;
    QTest::newRow("key file without a key") << QStringList{ certificate, QStringLiteral("UPLOADER_CLIENT_KEY=notes.txt") }
                                            << " >> Invalid UPLOADER_CLIENT_KEY: \"PATH/notes.txt\" " << 0 << rsa;
    QTest::newRow("key file missing") << QStringList{ certificate, QStringLiteral("UPLOADER_CLIENT_KEY=missing.key") }
                                      << " >> Invalid UPLOADER_CLIENT_KEY: \"PATH/missing.key\" " << 0 << rsa;
    QTest::newRow("key of the other algorithm's certificate") << QStringList{ certificate, QStringLiteral("UPLOADER_CLIENT_KEY=ec.key") }
                                                              << " >> Invalid UPLOADER_CLIENT_KEY: it does not match UPLOADER_CLIENT_CERT " << 0 << rsa;
}

// A usable pair goes into the run's configuration whole, Qt's default one untouched; anything else leaves it as it was, with one line.
void TestClientCertificate::apply()
{
    QFETCH(QStringList, settings);
    QFETCH(QString, line);
    QFETCH(int, chain);
    QFETCH(int, algorithm);
    // A value after a second '=' is taken as it is; any other names a file of the authority.
    const ScopedEnvironment scope(settings, [this](const QString &value) {
        return value.startsWith(QLatin1Char('=')) ? value.mid(1) : authority.path(value.toLatin1().constData());
    });
    MessageCapture capture;
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    const bool applied = TlsConfiguration::addClientCertificate(environmentSettings(), &configuration);
    const QStringList lines = capture.lines();
    QCOMPARE(applied, line.isEmpty());
    QCOMPARE(lines, authority.expectedLines(line));
    QVERIFY(QSslConfiguration::defaultConfiguration().localCertificateChain().isEmpty());
    // What libcurl is handed: certificates alone in the chain, the key unencrypted.
    ClientCertificate values;
    QCOMPARE(values.load(environmentSettings()), applied);
    // Only the armour lines name what a PEM block holds: the base64 between them may spell anything.
    QVERIFY(!values.chain.contains("KEY-----") && !values.key.contains("ENCRYPTED"));
    QCOMPARE(configuration.localCertificateChain().size(), chain);
    QCOMPARE(configuration.privateKey().isNull(), chain == 0);
    if (chain == 0)
        return;
    QCOMPARE(int(configuration.privateKey().algorithm()), algorithm);
    QCOMPARE(configuration.localCertificateChain().constFirst().subjectInfo(QSslCertificate::CommonName).value(0),
             algorithm == QSsl::Ec ? QStringLiteral("ec") : QStringLiteral("client"));
}

QTEST_GUILESS_MAIN(TestClientCertificate)
#include "tst_clientcertificate.moc"
