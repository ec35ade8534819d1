#include "curlsettings.h"

#include "certificateauthorities.h"
#include "curlauthorities.h"
#include "fileuploadoptions.h"

#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>

CurlSettings CurlSettings::forRun(const FileUploadOptions &options, RateLimiter *limiter, ReplyBudget *replyBudget)
{
    CurlSettings settings;
    settings.upload = options.settings;
    settings.limiter = limiter;
    settings.replyBudget = replyBudget;
    if (!options.urlTemplate.text().toLower().startsWith("https:"))
        return settings;
    CertificateAuthorities::forLibcurl(options.settings, &settings.authorityFile, &settings.authorityFolders);
    settings.authorities = std::make_shared<CurlAuthorities>(settings.authorityFile, settings.authorityFolders);
    // Asked only when there is one: Qt's TLS backend, started for nothing, cost some 0.05 CPU seconds a run.
    if (options.settings.clientCertificate.isEmpty())
        return settings;
    const QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    if (!configuration.localCertificate().isNull()) {
        settings.clientCertificate = configuration.localCertificate().toPem();
        settings.clientKey = configuration.privateKey().toPem();
    }
    return settings;
}
