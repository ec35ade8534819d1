#ifndef TLSCONFIGURATION_H
#define TLSCONFIGURATION_H

#include <QByteArray>

class QSslConfiguration;
class UploadSettings;

// What uploader's https requests carry, built once for the run from the
// settings; Qt's process-wide default configuration is read, never written.
class TlsConfiguration
{
public:
    // The default configuration with the two below; prints one line and
    // answers false as they do. Call it only for https: it loads the TLS library.
    static bool build(const UploadSettings &settings, QSslConfiguration *configuration, QByteArray *failure = nullptr);
    // The authorities of SSL_CERT_FILE and SSL_CERT_DIR in place of those
    // given, and those of UPLOADER_CA_BUNDLE in addition; prints one line and
    // answers false, changing nothing, for a bundle that cannot be read or holds no certificate.
    static bool addAuthorities(const UploadSettings &settings, QSslConfiguration *configuration, QByteArray *failure = nullptr);
    // The client certificate, its chain and key (ClientCertificate); prints
    // one line and answers false, changing nothing, when they are unusable.
    static bool addClientCertificate(const UploadSettings &settings, QSslConfiguration *configuration, QByteArray *failure = nullptr);
};

#endif // TLSCONFIGURATION_H
