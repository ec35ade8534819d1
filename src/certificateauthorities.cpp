#include "certificateauthorities.h"

#include "consolemessage.h"
#include "uploadsettings.h"

#include <QFile>

#include <openssl/pem.h>
#include <openssl/x509.h>

#include <sys/mman.h>
#include <unistd.h>

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

// The same choice as TlsConfiguration::addAuthorities(), in files: a bundle beside the system's goes as
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
