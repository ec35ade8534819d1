#include "certificateauthorities.h"
#include "messagecapture.h"
#include "scopedenvironment.h"
#include "testauthority.h"
#include "tlsconfiguration.h"

#include <QSslCertificate>
#include <QSslConfiguration>
#include <QtTest>

class TestCertificateAuthorities : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void apply_data();
    void apply();
    void checkBundle_data();
    void checkBundle();
    void forLibcurl_data();
    void forLibcurl();

private:
    // A row's list of the authority's files "a:b", each relative name put in its folder.
    QString resolved(const QString &names) const;

    TestAuthority authority;
};

void TestCertificateAuthorities::initTestCase()
{
    QVERIFY(authority.create());
}

void TestCertificateAuthorities::cleanup()
{
    authority.restoreDefault();
}

QString TestCertificateAuthorities::resolved(const QString &names) const
{
    QStringList paths;
    for (const QString &name : names.split(QLatin1Char(':')))
        paths << (name.isEmpty() || name.startsWith(QLatin1Char('/')) ? name : authority.path(name.toLatin1().constData()));
    return paths.join(QLatin1Char(':'));
}

void TestCertificateAuthorities::apply_data()
{
    QTest::addColumn<QStringList>("settings");
    // The line printed, PATH standing for the folder; empty when applied.
    QTest::addColumn<QString>("line");
    // The authorities trusted afterwards, in order: "system" for those trusted before, else a file of one.
    QTest::addColumn<QStringList>("trusted");
    const QString bundle = QStringLiteral("UPLOADER_CA_BUNDLE=ca.pem");
    const QString file = QStringLiteral("SSL_CERT_FILE=ca.pem");
    const QString system = QStringLiteral("system");
    const QString ca = QStringLiteral("ca.pem");
    const QString stranger = QStringLiteral("stranger.pem");
    const QString noCertificate = QStringLiteral(" >> Invalid UPLOADER_CA_BUNDLE: \"PATH/notes.txt\" ");
    QTest::newRow("none: as before") << QStringList() << QString() << QStringList{ system };
    QTest::newRow("bundle beside the system's") << QStringList{ bundle } << QString() << QStringList{ system, ca };
    QTest::newRow("bundle without a certificate") << QStringList{ QStringLiteral("UPLOADER_CA_BUNDLE=notes.txt") } << noCertificate
                                                  << QStringList{ system };
    QTest::newRow("bundle missing") << QStringList{ QStringLiteral("UPLOADER_CA_BUNDLE=missing.pem") }
                                    << QStringLiteral(" >> Invalid UPLOADER_CA_BUNDLE: \"PATH/missing.pem\" ") << QStringList{ system };
    QTest::newRow("SSL_CERT_FILE in place of the system's") << QStringList{ file } << QString() << QStringList{ ca };
    QTest::newRow("SSL_CERT_FILE and the same bundle: once") << QStringList{ file, bundle } << QString() << QStringList{ ca };
    QTest::newRow("SSL_CERT_FILE and another bundle") << QStringList{ file, QStringLiteral("UPLOADER_CA_BUNDLE=stranger.pem") } << QString()
                                                      << QStringList{ ca, stranger };
    QTest::newRow("SSL_CERT_FILE and a bundle without a certificate")
        << QStringList{ file, QStringLiteral("UPLOADER_CA_BUNDLE=notes.txt") } << noCertificate << QStringList{ system };
    QTest::newRow("SSL_CERT_FILE without a certificate: none trusted") << QStringList{ QStringLiteral("SSL_CERT_FILE=notes.txt") } << QString()
                                                                       << QStringList();
    QTest::newRow("SSL_CERT_DIR: a copy, a link and a second folder, each authority once")
        << QStringList{ QStringLiteral("SSL_CERT_DIR=/nowhere::first:second") } << QString() << QStringList{ ca, stranger };
    QTest::newRow("SSL_CERT_DIR after SSL_CERT_FILE") << QStringList{ QStringLiteral("SSL_CERT_FILE=stranger.pem"), QStringLiteral("SSL_CERT_DIR=second") }
                                                      << QString() << QStringList{ stranger, ca };
    QTest::newRow("OpenSSL's own file and folder, spelt otherwise, beside a bundle")
        << QStringList{ QStringLiteral("SSL_CERT_FILE=/usr/lib/ssl/../ssl/cert.pem"), QStringLiteral("SSL_CERT_DIR=/usr/lib/ssl/certs/"), bundle }
        << QString() << QStringList{ system, ca };
}

void TestCertificateAuthorities::apply()
{
    QFETCH(QStringList, settings);
    QFETCH(QString, line);
    QFETCH(QStringList, trusted);
    const ScopedEnvironment scope(settings, [this](const QString &names) { return resolved(names); });
    MessageCapture capture;
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    const bool applied = TlsConfiguration::addAuthorities(environmentSettings(), &configuration);
    const QStringList lines = capture.lines();
    QCOMPARE(applied, line.isEmpty());
    QCOMPARE(lines, authority.expectedLines(line));
    QList<QSslCertificate> expected;
    for (const QString &name : trusted)
        expected += name == QLatin1String("system") ? authority.originalDefault().caCertificates() : QSslCertificate::fromPath(resolved(name));
    QCOMPARE(configuration.caCertificates(), expected);
    // The run's configuration alone: Qt's default one is read, never written.
    QCOMPARE(QSslConfiguration::defaultConfiguration().caCertificates(), authority.originalDefault().caCertificates());
}

void TestCertificateAuthorities::checkBundle_data()
{
    QTest::addColumn<QString>("bundle");
    QTest::addColumn<bool>("usable");
    QTest::newRow("none") << QString() << true;
    QTest::newRow("one certificate") << "ca.pem" << true;
    QTest::newRow("a chain") << "chain.pem" << true;
    QTest::newRow("no certificate") << "notes.txt" << false;
    QTest::newRow("a key, no certificate") << "client.key" << false;
    QTest::newRow("missing") << "missing.pem" << false;
}

// As apply() judges the bundle, without Qt's TLS.
void TestCertificateAuthorities::checkBundle()
{
    QFETCH(QString, bundle);
    QFETCH(bool, usable);
    const ScopedEnvironment scope(bundle.isEmpty() ? QStringList() : QStringList(QStringLiteral("UPLOADER_CA_BUNDLE=") + bundle),
                                  [this](const QString &names) { return resolved(names); });
    MessageCapture capture;
    QCOMPARE(CertificateAuthorities::checkBundle(environmentSettings()), usable);
    QCOMPARE(capture.lines(), usable ? QStringList() : QStringList(QStringLiteral(" >> Invalid UPLOADER_CA_BUNDLE: \"%1\" ").arg(resolved(bundle))));
}

void TestCertificateAuthorities::forLibcurl_data()
{
    QTest::addColumn<QStringList>("settings");
    // "null" for libcurl's own, "" for none, "both" for a file of SSL_CERT_FILE and the bundle, else names.
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("folders");
    QTest::newRow("none: libcurl's own") << QStringList() << "null" << "null";
    QTest::newRow("bundle alone: libcurl's folders kept") << QStringList{ QStringLiteral("UPLOADER_CA_BUNDLE=ca.pem") } << "ca.pem" << "null";
    QTest::newRow("SSL_CERT_FILE alone: no folders") << QStringList{ QStringLiteral("SSL_CERT_FILE=ca.pem") } << "ca.pem" << "";
    QTest::newRow("SSL_CERT_DIR alone: no file") << QStringList{ QStringLiteral("SSL_CERT_DIR=first:second") } << "" << "first:second";
    QTest::newRow("SSL_CERT_DIR and the bundle") << QStringList{ QStringLiteral("SSL_CERT_DIR=first"), QStringLiteral("UPLOADER_CA_BUNDLE=ca.pem") }
                                                 << "ca.pem" << "first";
    QTest::newRow("SSL_CERT_FILE and the bundle: one file of both")
        << QStringList{ QStringLiteral("SSL_CERT_FILE=stranger.pem"), QStringLiteral("UPLOADER_CA_BUNDLE=ca.pem") } << "both" << "";
}

void TestCertificateAuthorities::forLibcurl()
{
    QFETCH(QStringList, settings);
    QFETCH(QString, file);
    QFETCH(QString, folders);
    const ScopedEnvironment scope(settings, [this](const QString &names) { return resolved(names); });
    QByteArray givenFile;
    QByteArray givenFolders;
    CertificateAuthorities::forLibcurl(environmentSettings(), &givenFile, &givenFolders);
    const auto expect = [this](const QByteArray &given, const QString &names) {
        if (names == QLatin1String("null"))
            return given.isNull();
        if (names.isEmpty())
            return !given.isNull() && given.isEmpty();
        return given == QFile::encodeName(resolved(names));
    };
    QVERIFY2(expect(givenFolders, folders), givenFolders.constData());
    if (file != QLatin1String("both")) {
        QVERIFY2(expect(givenFile, file), givenFile.constData());
        return;
    }
    QFile both(QFile::decodeName(givenFile));
    QVERIFY2(both.open(QIODevice::ReadOnly), givenFile.constData());
    QFile first(authority.path("stranger.pem"));
    QFile second(authority.path("ca.pem"));
    QVERIFY(first.open(QIODevice::ReadOnly) && second.open(QIODevice::ReadOnly));
    QCOMPARE(both.readAll(), first.readAll() + '\n' + second.readAll());
}

QTEST_GUILESS_MAIN(TestCertificateAuthorities)
#include "tst_certificateauthorities.moc"
