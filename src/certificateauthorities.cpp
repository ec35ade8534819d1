#include "certificateauthorities.h"

#include "consolemessage.h"
#include "uploadsettings.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QSslCertificate>
#include <QSslConfiguration>

#include <openssl/pem.h>
#include <openssl/x509.h>

#include <sys/mman.h>
#include <unistd.h>

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

bool CertificateAuthorities::apply(const UploadSettings &settings, QByteArray *failure)
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
        QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
        configuration.addCaCertificates(added);
        QSslConfiguration::setDefaultConfiguration(configuration);
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
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setCaCertificates(authorities.list);
    QSslConfiguration::setDefaultConfiguration(configuration);
    return true;
}

// Read with OpenSSL's own reader: Qt's would start its TLS backend, some 6 MiB
// and 0.1 CPU seconds that libcurl's run never uses.
bool CertificateAuthorities::checkBundle(const UploadSettings &settings)
{
    const QByteArray &bundle = settings.authorityBundle;
    if (bundle.isEmpty())
        return true;
    BIO *file = BIO_new_file(bundle.constData(), "r");
    X509 *certificate = file ? PEM_read_bio_X509(file, nullptr, nullptr, nullptr) : nullptr;
    X509_free(certificate);
    BIO_free(file);
    if (certificate)
        return true;
    ConsoleMessage() << " >> Invalid UPLOADER_CA_BUNDLE:" << QString::fromLocal8Bit(bundle);
    return false;
}

// The same choice as apply(), in files: a bundle beside the system's goes as
// the file, with the system's hashed folder; beside SSL_CERT_FILE, both as one file.
void CertificateAuthorities::forLibcurl(const UploadSettings &settings, QByteArray *file, QByteArray *folders)
{
    const QByteArray &bundle = settings.authorityBundle;
    const QByteArray &certificateFile = settings.certificateFile;
    const QByteArray &certificateFolders = settings.certificateFolders;
    if (!certificateFile.isEmpty() || !certificateFolders.isEmpty()) {
        *file = certificateFile.isEmpty() ? QByteArray("") : certificateFile;
        *folders = certificateFolders.isEmpty() ? QByteArray("") : certificateFolders;
    }
    if (!bundle.isEmpty() && !certificateFile.isEmpty()) {
        // One file of both, in memory, that the run's store of authorities
        // (CurlAuthorities) reads once for all its connections.
        QFile first(QFile::decodeName(certificateFile));
        QFile second(QFile::decodeName(bundle));
        const QByteArray text = (first.open(QIODevice::ReadOnly) ? first.readAll() : QByteArray()) + '\n'
                                + (second.open(QIODevice::ReadOnly) ? second.readAll() : QByteArray());
        // Open for the whole run, and never inherited.
        const int descriptor = ::memfd_create("authorities", MFD_CLOEXEC);
        if (descriptor >= 0 && ::write(descriptor, text.constData(), size_t(text.size())) == text.size())
            *file = "/proc/self/fd/" + QByteArray::number(descriptor);
    } else if (!bundle.isEmpty()) {
        *file = bundle;
    }
}
