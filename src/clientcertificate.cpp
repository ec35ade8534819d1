#include "clientcertificate.h"

#include "consolemessage.h"
#include "uploadsettings.h"

#include <QFile>

#include <openssl/err.h>
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

bool ClientCertificate::load(const UploadSettings &settings, QByteArray *failure)
{
    *this = ClientCertificate();
    const QByteArray &certificatePath = settings.clientCertificate;
    const QByteArray &keyPath = settings.clientKey;
    if (certificatePath.isEmpty() && keyPath.isEmpty())
        return true;
    if (keyPath.isEmpty())
        return refuse("UPLOADER_CLIENT_KEY", keyPath, failure);
    if (certificatePath.isEmpty())
        return refuse("UPLOADER_CLIENT_CERT", certificatePath, failure);

    // BIO_new_mem_buf reads the bytes where they are: they live as long as the reader.
    const QByteArray certificateText = readAll(certificatePath);
    const Bio certificates = memoryOf(certificateText);
    const Certificate certificate(PEM_read_bio_X509(certificates.get(), nullptr, nullptr, nullptr), &X509_free);
    if (!certificate)
        return refuse("UPLOADER_CLIENT_CERT", certificatePath, failure);

    const QByteArray keyText = readAll(keyPath);
    QByteArray password = settings.clientKeyPassword;
    // The password goes to OpenSSL as given: its callback is never asked for one at a terminal.
    const Key privateKey(PEM_read_bio_PrivateKey(memoryOf(keyText).get(), nullptr, nullptr, password.data()), &EVP_PKEY_free);
    if (!privateKey) {
        const bool encrypted = keyText.contains("ENCRYPTED");
        return refuse(encrypted ? "UPLOADER_CLIENT_KEY_PASSWORD" : "UPLOADER_CLIENT_KEY", keyPath, failure);
    }
    if (X509_check_private_key(certificate.get(), privateKey.get()) != 1) {
        ConsoleMessage(failure) << " >> Invalid UPLOADER_CLIENT_KEY: it does not match UPLOADER_CLIENT_CERT";
        return false;
    }

    // Written again as PEM: the chain without whatever else the file holds, the key unencrypted.
    const Bio chainText(BIO_new(BIO_s_mem()), &BIO_free);
    PEM_write_bio_X509(chainText.get(), certificate.get());
    while (const Certificate next{ PEM_read_bio_X509(certificates.get(), nullptr, nullptr, nullptr), &X509_free })
        PEM_write_bio_X509(chainText.get(), next.get());
    const Bio keyPem(BIO_new(BIO_s_mem()), &BIO_free);
    PEM_write_bio_PrivateKey(keyPem.get(), privateKey.get(), nullptr, nullptr, 0, nullptr, nullptr);
    ERR_clear_error();
    char *data = nullptr;
    long size = BIO_get_mem_data(chainText.get(), &data);
    chain = QByteArray(data, int(size));
    size = BIO_get_mem_data(keyPem.get(), &data);
    key = QByteArray(data, int(size));
    const int type = EVP_PKEY_base_id(privateKey.get());
    keyType = type == EVP_PKEY_EC ? KeyType::Ec : type == EVP_PKEY_DSA ? KeyType::Dsa : KeyType::Rsa;
    return true;
}
