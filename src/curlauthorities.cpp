#include "curlauthorities.h"

#include <curl/curl.h>
#include <openssl/err.h>
#include <openssl/x509_vfy.h>

namespace {

// The file and folder that libcurl was built to trust.
QByteArray libcurlDefault(CURLINFO info)
{
    QByteArray path;
    if (CURL *easy = curl_easy_init()) {
        char *value = nullptr;
        if (curl_easy_getinfo(easy, info, &value) == CURLE_OK && value)
            path = value;
        curl_easy_cleanup(easy);
    }
    return path;
}

} // namespace

CurlAuthorities::CurlAuthorities(const QByteArray &file, const QByteArray &folders)
    : file(file.isNull() ? libcurlDefault(CURLINFO_CAINFO) : file)
    , folders(folders.isNull() ? libcurlDefault(CURLINFO_CAPATH) : folders)
{
}

CurlAuthorities::~CurlAuthorities()
{
    X509_STORE_free(loaded);
}

X509_STORE *CurlAuthorities::store()
{
    if (loaded)
        return loaded;
    loaded = X509_STORE_new();
    if (!loaded)
        return nullptr;
    // As libcurl sets its own store: the trusted issuers before those the
    // server sends, and an intermediate in the store trusted as an anchor.
    X509_STORE_set_flags(loaded, X509_V_FLAG_TRUSTED_FIRST | X509_V_FLAG_PARTIAL_CHAIN);
    // A file or folder that cannot be read adds nothing: verification then fails, with 6 and 1.
    if (!file.isEmpty())
        X509_STORE_load_file(loaded, file.constData());
    if (!folders.isEmpty())
        X509_STORE_load_path(loaded, folders.constData());
    ERR_clear_error();
    return loaded;
}
