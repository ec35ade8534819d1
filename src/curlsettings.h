#ifndef CURLSETTINGS_H
#define CURLSETTINGS_H

#include "uploadsettings.h"

#include <QByteArray>

class FileUploadOptions;
class RateLimiter;

// What every chunk of a run is sent with through libcurl.
struct CurlSettings
{
    // The run's, with the client certificate that the environment gave Qt.
    static CurlSettings forRun(const FileUploadOptions &options, RateLimiter *limiter);

    // The token, the idle time, the retries of each chunk, the proxy and its credentials.
    UploadSettings upload;
    // The authorities' file and OpenSSL's hashed folders: libcurl's own when null, none when empty.
    QByteArray authorityFile;
    QByteArray authorityFolders;
    // PEM, as the environment's files gave them.
    QByteArray clientCertificate;
    QByteArray clientKey;
    // Shared by the transfers of a run, or null.
    RateLimiter *limiter = nullptr;
};

#endif // CURLSETTINGS_H
