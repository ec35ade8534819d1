#include "certificateauthorities.h"

#include "consolemessage.h"

#include <QDir>
#include <QFile>
#include <QSslCertificate>
#include <QSslConfiguration>

namespace {

QList<QSslCertificate> certificatesIn(const QByteArray &path)
{
    return QSslCertificate::fromPath(QFile::decodeName(path), QSsl::Pem, QSslCertificate::PatternSyntax::FixedString);
}

} // namespace

bool CertificateAuthorities::apply()
{
    const QByteArray bundle = qgetenv("UPLOADER_CA_BUNDLE");
    const QByteArray certificateFile = qgetenv("SSL_CERT_FILE");
    const QByteArray certificateFolders = qgetenv("SSL_CERT_DIR");
    if (bundle.isEmpty() && certificateFile.isEmpty() && certificateFolders.isEmpty())
        return true;
    QList<QSslCertificate> authorities;
    // As in OpenSSL, either variable stands in for the system's own authorities.
    if (certificateFile.isEmpty() && certificateFolders.isEmpty())
        authorities = QSslConfiguration::systemCaCertificates();
    if (!certificateFile.isEmpty())
        authorities += certificatesIn(certificateFile);
    for (const QByteArray &folder : certificateFolders.split(':')) {
        if (folder.isEmpty())
            continue;
        const QDir directory(QFile::decodeName(folder));
        for (const QString &name : directory.entryList(QDir::Files))
            authorities += certificatesIn(QFile::encodeName(directory.filePath(name)));
    }
    if (!bundle.isEmpty()) {
        const QList<QSslCertificate> added = certificatesIn(bundle);
        if (added.isEmpty()) {
            ConsoleMessage() << " >> Invalid UPLOADER_CA_BUNDLE:" << QString::fromLocal8Bit(bundle);
            return false;
        }
        authorities += added;
    }
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setCaCertificates(authorities);
    QSslConfiguration::setDefaultConfiguration(configuration);
    return true;
}
