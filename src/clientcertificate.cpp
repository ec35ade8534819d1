#include "clientcertificate.h"

#include "consolemessage.h"
#include "uploadsettings.h"

#include <QFile>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <memory>

namespace {

bool refuse(const char *variable, const QByteArray &path, QByteArray *failure)
{
    ConsoleMessage(failure) << (QByteArray(" >> Invalid ") + variable + ':').constData() << QString::fromLocal8Bit(path);
    return false;
}

QByteArray readAll(const QByteArray &path)
{
    QFile file(QFile::decodeName(path));
    return file.open(QIODevice::ReadOnly) ? file.read(1 << 20) : QByteArray();
}

using Bio = std::unique_ptr<BIO, decltype(&BIO_free)>;
using Key = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using Certificate = std::unique_ptr<X509, decltype(&X509_free)>;

Bio memoryOf(const QByteArray &bytes)
{
    return Bio(BIO_new_mem_buf(bytes.constData(), bytes.size()), &BIO_free);
}

} // namespace

bool ClientCertificate::apply(const UploadSettings &settings, QByteArray *failure)
{
    const QByteArray &certificatePath = settings.clientCertificate;
    const QByteArray &keyPath = settings.clientKey;
    if (certificatePath.isEmpty() && keyPath.isEmpty())
        return true;
    if (keyPath.isEmpty())
        return refuse("UPLOADER_CLIENT_KEY", keyPath, failure);
    if (certificatePath.isEmpty())
        return refuse("UPLOADER_CLIENT_CERT", certificatePath, failure);

    const QByteArray certificateText = readAll(certificatePath);
    const QList<QSslCertificate> chain = QSslCertificate::fromData(certificateText, QSsl::Pem);
    const Certificate certificate(PEM_read_bio_X509(memoryOf(certificateText).get(), nullptr, nullptr, nullptr), &X509_free);
    if (chain.isEmpty() || !certificate)
        return refuse("UPLOADER_CLIENT_CERT", certificatePath, failure);

    const QByteArray keyText = readAll(keyPath);
    QByteArray password = settings.clientKeyPassword;
    // The password goes to OpenSSL as given: its callback is never asked for one at a terminal.
    const Key key(PEM_read_bio_PrivateKey(memoryOf(keyText).get(), nullptr, nullptr, password.data()), &EVP_PKEY_free);
    if (!key) {
        const bool encrypted = keyText.contains("ENCRYPTED");
        return refuse(encrypted ? "UPLOADER_CLIENT_KEY_PASSWORD" : "UPLOADER_CLIENT_KEY", keyPath, failure);
    }
    if (X509_check_private_key(certificate.get(), key.get()) != 1) {
        ConsoleMessage(failure) << " >> Invalid UPLOADER_CLIENT_KEY: it does not match UPLOADER_CLIENT_CERT";
        return false;
    }

    // Qt reads the key again, unencrypted, in the algorithm OpenSSL found.
    const Bio plain(BIO_new(BIO_s_mem()), &BIO_free);
    PEM_write_bio_PrivateKey(plain.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr);
    char *data = nullptr;
    const long size = BIO_get_mem_data(plain.get(), &data);
    const int type = EVP_PKEY_base_id(key.get());
    const QSsl::KeyAlgorithm algorithm = type == EVP_PKEY_EC ? QSsl::Ec : type == EVP_PKEY_DSA ? QSsl::Dsa : QSsl::Rsa;
    const QSslKey privateKey(QByteArray(data, int(size)), algorithm, QSsl::Pem, QSsl::PrivateKey);
    if (privateKey.isNull())
        return refuse("UPLOADER_CLIENT_KEY", keyPath, failure);
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setLocalCertificateChain(chain);
    configuration.setPrivateKey(privateKey);
    QSslConfiguration::setDefaultConfiguration(configuration);
    return true;
}
