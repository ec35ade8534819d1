#include "curlsettings.h"

#include "certificateauthorities.h"
#include "fileuploadoptions.h"

#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>

// The run's settings for libcurl, with the client certificate that the environment gave Qt.
CurlTransfer::Settings CurlSettings::forRun(const FileUploadOptions &options, RateLimiter *limiter)
{
    CurlTransfer::Settings settings;
    settings.apiToken = options.apiToken;
    settings.idleTimeout = options.idleTimeout;
    settings.retries = options.retries;
    settings.proxyHost = options.proxyHost;
    settings.proxyPort = options.proxyPort;
    settings.proxyUser = options.proxyUser;
    settings.proxyPassword = options.proxyPassword;
    settings.limiter = limiter;
    if (!options.urlTemplate.text().toLower().startsWith("https:"))
        return settings;
    CertificateAuthorities::forLibcurl(&settings.authorityFile, &settings.authorityFolders);
    const QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    if (!configuration.localCertificate().isNull()) {
        settings.clientCertificate = configuration.localCertificate().toPem();
        settings.clientKey = configuration.privateKey().toPem();
    }
    return settings;
}
