#ifndef CURLREQUEST_H
#define CURLREQUEST_H

#include "curlsettings.h"

#include <QByteArray>

#include <curl/curl.h>

// A libcurl easy handle set up to post a chunk as uploader does: its
// headers in uploader's order, the authorities and client certificate, the
// proxy and how its credentials go. Reused for every chunk of a slot, so its
// connection is kept.
class CurlRequest
{
public:
    explicit CurlRequest(const CurlSettings &settings);
    ~CurlRequest();
    Q_DISABLE_COPY(CurlRequest)

    CURL *handle() const;
    // The next chunk: its address, which may carry credentials, and its size.
    void prepare(const QByteArray &url, qint64 size);
    // Before each time the body goes out.
    void prepareAttempt();
    // A proxy that refused Basic and offers Digest is answered in it from now
    // on; answers true when the request must go again for that.
    bool answerProxyScheme(int httpStatus);
    // What came back, so that a connection is kept once the proxy took a request.
    void answered(int httpStatus);

    // Through a proxy that sees the request itself, rather than a tunnel.
    bool throughPlainProxy() const;
    bool throughProxy() const;
    // The proxy's answer to CONNECT, 0 when none was asked for.
    long connectCode() const;
    // The address without credentials.
    const QByteArray &address() const;

private:
    void configure();

    const CurlSettings settings;
    CURL *easy;
    curl_slist *headerList = nullptr;
    QByteArray url;
    bool secure = false;
    // How credentials go to a plain http proxy.
    long proxyScheme = long(CURLAUTH_BASIC);
    bool proxyTookRequest = false;
};

#endif // CURLREQUEST_H
