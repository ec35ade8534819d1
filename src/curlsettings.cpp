#include "curlsettings.h"

#include "certificateauthorities.h"
#include "curlauthorities.h"
#include "fileuploadoptions.h"

#include "clientcertificate.h"

CurlSettings CurlSettings::forRun(const FileUploadOptions &options, const ClientCertificate &clientCertificate, RateLimiter *limiter,
                                  ReplyBudget *replyBudget)
{
    CurlSettings settings;
    settings.upload = options.settings;
    settings.limiter = limiter;
    settings.replyBudget = replyBudget;
    if (!options.urlTemplate.text().toLower().startsWith("https:"))
        return settings;
    CertificateAuthorities::forLibcurl(options.settings, &settings.authorityFile, &settings.authorityFolders);
    settings.authorities = std::make_shared<CurlAuthorities>(settings.authorityFile, settings.authorityFolders);
    settings.clientCertificate = clientCertificate.chain;
    settings.clientKey = clientCertificate.key;
    return settings;
}
