#ifndef CLIENTCERTIFICATE_H
#define CLIENTCERTIFICATE_H

#include <QByteArray>

class UploadSettings;

// The certificate that https shows a server that asks for one (mutual TLS):
// UPLOADER_CLIENT_CERT (PEM, with its chain), UPLOADER_CLIENT_KEY (PEM,
// encrypted with UPLOADER_CLIENT_KEY_PASSWORD or not). Read with OpenSSL
// alone, so that libcurl's run never starts Qt's TLS backend; each stack
// takes the values as its own types.
class ClientCertificate
{
public:
    enum class KeyType { Rsa, Ec, Dsa };

    // Reads the files when the variables are set; prints one line naming the
    // variable and answers false when they are unusable: one without the
    // other, a file that cannot be read, a key that does not match the
    // certificate, a wrong password. The line it printed, if any, also kept in *failure.
    bool load(const UploadSettings &settings, QByteArray *failure = nullptr);
    bool isNull() const { return chain.isEmpty(); }

    // PEM: the certificate, then the rest of the chain in the file's order; nothing else of the file.
    QByteArray chain;
    // PEM, unencrypted: kept in memory, never printed or written.
    QByteArray key;
    KeyType keyType = KeyType::Rsa;
};

#endif // CLIENTCERTIFICATE_H
