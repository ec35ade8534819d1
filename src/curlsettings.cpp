#include "curlsettings.h"

#include "certificateauthorities.h"
#include "fileuploadoptions.h"

#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>

CurlSettings CurlSettings::forRun(const FileUploadOptions &options, RateLimiter *limiter)
{
    CurlSettings settings;
    settings.upload = options.settings;
    settings.limiter = limiter;
    if (!options.urlTemplate.text().toLower().startsWith("https:"))
        return settings;
    CertificateAuthorities::forLibcurl(options.settings, &settings.authorityFile, &settings.authorityFolders);
    const QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    if (!configuration.localCertificate().isNull()) {
        settings.clientCertificate = configuration.localCertificate().toPem();
        settings.clientKey = configuration.privateKey().toPem();
    }
    return settings;
}
