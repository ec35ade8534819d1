#ifndef CURLSETTINGS_H
#define CURLSETTINGS_H

#include <QByteArray>

class RateLimiter;

// What every chunk of a run is sent with through libcurl.
struct CurlSettings
{
    QByteArray apiToken;
    // Seconds without a byte moving before an attempt is given up; 0 waits for ever.
    int idleTimeout = 0;
    int retries = 0;
    QByteArray proxyHost;
    quint16 proxyPort = 0;
    QByteArray proxyUser;
    QByteArray proxyPassword;
    // The authorities' file and OpenSSL's hashed folders: libcurl's own when null, none when empty.
    QByteArray authorityFile;
    QByteArray authorityFolders;
    QByteArray clientCertificate;
    QByteArray clientKey;
    // Shared by the transfers of a run, or null.
    RateLimiter *limiter = nullptr;
};

#endif // CURLSETTINGS_H
