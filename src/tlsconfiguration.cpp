#include "tlsconfiguration.h"

#include "clientcertificate.h"
#include "consolemessage.h"
#include "uploadsettings.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>

#include <openssl/x509.h>

namespace {

QList<QSslCertificate> certificatesIn(const QString &path)
{
    return QSslCertificate::fromPath(path, QSsl::Pem, QSslCertificate::PatternSyntax::FixedString);
}

// Each authority once: /etc/ssl/certs holds every one as a file, as a hash
// link to it and again in the bundle that SSL_CERT_FILE names, and each copy
// kept cost its parsed certificate, some 6 KiB, for the whole run.
class Authorities
{
public:
    void add(const QList<QSslCertificate> &certificates)
    {
        for (const QSslCertificate &certificate : certificates) {
            if (!known.contains(certificate)) {
                known.insert(certificate);
                list.append(certificate);
            }
        }
    }

    // A file reached again, through a link or a second variable, is not read again.
    void addFile(const QString &path)
    {
        const QString canonical = QFileInfo(path).canonicalFilePath();
        if (canonical.isEmpty() || files.contains(canonical))
            return;
        files.insert(canonical);
        add(certificatesIn(canonical));
    }

    QList<QSslCertificate> list;

private:
    QSet<QSslCertificate> known;
    QSet<QString> files;
};

} // namespace

bool TlsConfiguration::build(const UploadSettings &settings, QSslConfiguration *configuration, QByteArray *failure)
{
    *configuration = QSslConfiguration::defaultConfiguration();
    return addAuthorities(settings, configuration, failure) && addClientCertificate(settings, configuration, failure);
}

bool TlsConfiguration::addAuthorities(const UploadSettings &settings, QSslConfiguration *configuration, QByteArray *failure)
{
    const QByteArray &bundle = settings.authorityBundle;
    const QByteArray &certificateFile = settings.certificateFile;
    const QByteArray &certificateFolders = settings.certificateFolders;
    // Variables that name OpenSSL's own places name the system's authorities,
    // which Qt finds one at a time as a chain needs them: loaded whole, they
    // would cost 6 KiB each for the whole run.
    const auto names = [](const QByteArray &path, const char *place) {
        return path.isEmpty() || QFileInfo(QFile::decodeName(path)).canonicalFilePath() == QFileInfo(QFile::decodeName(place)).canonicalFilePath();
    };
    if (names(certificateFile, X509_get_default_cert_file()) && names(certificateFolders, X509_get_default_cert_dir())) {
        if (bundle.isEmpty())
            return true;
        const QList<QSslCertificate> added = certificatesIn(QFile::decodeName(bundle));
        if (added.isEmpty()) {
            ConsoleMessage(failure) << " >> Invalid UPLOADER_CA_BUNDLE:" << QString::fromLocal8Bit(bundle);
            return false;
        }
        // Added, not set: Qt goes on finding the system's as they are needed.
        configuration->addCaCertificates(added);
        return true;
    }
    // As in OpenSSL, either variable stands in for the system's own authorities.
    Authorities authorities;
    if (!certificateFile.isEmpty())
        authorities.addFile(QFile::decodeName(certificateFile));
    for (const QByteArray &folder : certificateFolders.split(':')) {
        if (folder.isEmpty())
            continue;
        const QDir directory(QFile::decodeName(folder));
        for (const QString &name : directory.entryList(QDir::Files))
            authorities.addFile(directory.filePath(name));
    }
    if (!bundle.isEmpty()) {
        // Read even when already read: the message depends on this file alone.
        const QList<QSslCertificate> added = certificatesIn(QFile::decodeName(bundle));
        if (added.isEmpty()) {
            ConsoleMessage(failure) << " >> Invalid UPLOADER_CA_BUNDLE:" << QString::fromLocal8Bit(bundle);
            return false;
        }
        authorities.add(added);
    }
    configuration->setCaCertificates(authorities.list);
    return true;
}

bool TlsConfiguration::addClientCertificate(const UploadSettings &settings, QSslConfiguration *configuration, QByteArray *failure)
{
    ClientCertificate certificate;
    if (!certificate.load(settings, failure))
        return false;
    if (certificate.isNull())
        return true;
    const QList<QSslCertificate> chain = QSslCertificate::fromData(certificate.chain, QSsl::Pem);
    const QSsl::KeyAlgorithm algorithm = certificate.keyType == ClientCertificate::KeyType::Ec    ? QSsl::Ec
                                         : certificate.keyType == ClientCertificate::KeyType::Dsa ? QSsl::Dsa
                                                                                                 : QSsl::Rsa;
    const QSslKey key(certificate.key, algorithm, QSsl::Pem, QSsl::PrivateKey);
    if (chain.isEmpty()) {
        ConsoleMessage(failure) << " >> Invalid UPLOADER_CLIENT_CERT:" << QString::fromLocal8Bit(settings.clientCertificate);
        return false;
    }
    if (key.isNull()) {
        ConsoleMessage(failure) << " >> Invalid UPLOADER_CLIENT_KEY:" << QString::fromLocal8Bit(settings.clientKey);
        return false;
    }
    configuration->setLocalCertificateChain(chain);
    configuration->setPrivateKey(key);
    return true;
}
