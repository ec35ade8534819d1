#ifndef CERTIFICATEAUTHORITIES_H
#define CERTIFICATEAUTHORITIES_H

#include <QByteArray>

class UploadSettings;

// The authorities that https trusts: the system's, those of SSL_CERT_FILE and
// SSL_CERT_DIR in their place as OpenSSL's own tools read them, and those of
// UPLOADER_CA_BUNDLE in addition. Verification stays on.
class CertificateAuthorities
{
public:
    // Sets the default TLS configuration when one of the variables is set;
    // prints one line and answers false for a bundle that cannot be read
    // or holds no certificate. Call it only for https: it loads the TLS library.
    // The line it printed, if any, also kept in *failure.
    static bool apply(const UploadSettings &settings, QByteArray *failure = nullptr);
    // For libcurl, which loads them itself: checks the bundle as apply() does,
    // without loading anything into Qt.
    static bool checkBundle(const UploadSettings &settings);
    // The file and OpenSSL's hashed folders of authorities for uploader-file's
    // store (CurlAuthorities): null for libcurl's own, empty for none.
    static void forLibcurl(const UploadSettings &settings, QByteArray *file, QByteArray *folders);
};

#endif // CERTIFICATEAUTHORITIES_H
