#ifndef CURLSETTINGS_H
#define CURLSETTINGS_H

#include "uploadsettings.h"

#include <QByteArray>

#include <curl/curl.h>

#include <functional>
#include <memory>

class ClientCertificate;
class CurlAuthorities;
class FileUploadOptions;
class RateLimiter;
class ReplyBudget;

// What every chunk of a run is sent with through libcurl: one per run,
// which every transfer and request of the run reads.
struct CurlSettings
{
    // The run's, with the client certificate that the environment named.
    static CurlSettings forRun(const FileUploadOptions &options, const ClientCertificate &clientCertificate, RateLimiter *limiter,
                               ReplyBudget *replyBudget);

    // The token, the idle time, the retries of each chunk, the proxy and its credentials.
    UploadSettings upload;
    // The authorities' file and OpenSSL's hashed folders: libcurl's own when null, none when empty.
    QByteArray authorityFile;
    QByteArray authorityFolders;
    // PEM: the certificate with its chain, and the key unencrypted.
    QByteArray clientCertificate;
    QByteArray clientKey;
    // The authorities' store of a run, loaded once for all its connections;
    // null: each request loads its own from the file and folders above.
    std::shared_ptr<CurlAuthorities> authorities;
    // Shared by the transfers of a run, or null.
    RateLimiter *limiter = nullptr;
    // The memory the replies of a run's transfers may hold together, or null for no bound but each reply's cap.
    ReplyBudget *replyBudget = nullptr;
    // --verbose: takes each request's header lines ("> ") and each reply's ("< "), secrets masked. Null without.
    std::function<void(CURL *easy, const QByteArray &lines)> headerLines;
};

#endif // CURLSETTINGS_H
