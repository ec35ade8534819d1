#ifndef CERTIFICATEAUTHORITIES_H
#define CERTIFICATEAUTHORITIES_H

#include <QByteArray>

class UploadSettings;

// The authorities that https trusts: the system's, those of SSL_CERT_FILE and
// SSL_CERT_DIR in their place as OpenSSL's own tools read them, and those of
// UPLOADER_CA_BUNDLE in addition. Verification stays on. Qt's run takes them
// through TlsConfiguration.
class CertificateAuthorities
{
public:
    // For libcurl, which loads them itself: checks the bundle as
    // TlsConfiguration::addAuthorities() does, without loading anything into Qt.
    static bool checkBundle(const UploadSettings &settings);
    // The file and OpenSSL's hashed folders of authorities for uploader-file's
    // store (CurlAuthorities): null for libcurl's own, empty for none.
    static void forLibcurl(const UploadSettings &settings, QByteArray *file, QByteArray *folders);
};

#endif // CERTIFICATEAUTHORITIES_H
