#ifndef CLIENTCERTIFICATE_H
#define CLIENTCERTIFICATE_H

#include <QByteArray>

class UploadSettings;

// The certificate that https shows a server that asks for one (mutual TLS):
// UPLOADER_CLIENT_CERT (PEM, with its chain), UPLOADER_CLIENT_KEY (PEM,
// encrypted with UPLOADER_CLIENT_KEY_PASSWORD or not).
class ClientCertificate
{
public:
    // Sets it in the default TLS configuration when the variables are set;
    // prints one line naming the variable and answers false when they are
    // unusable: one without the other, a file that cannot be read, a key
    // that does not match the certificate, a wrong password.
    // The line it printed, if any, also kept in *failure.
    static bool apply(const UploadSettings &settings, QByteArray *failure = nullptr);
};

#endif // CLIENTCERTIFICATE_H
