#ifndef CURLREQUEST_H
#define CURLREQUEST_H

#include "curlsettings.h"

#include <QByteArray>

#include <curl/curl.h>

// A libcurl easy handle set up to post a chunk as uploader does: its
// headers in uploader's order, the authorities and client certificate, the
// proxy and how its credentials go, http and https alone. Reused for every
// chunk of a slot, so its connection is kept. Every option is checked: one
// that libcurl refuses is a problem, and a request with a problem is not sent.
class CurlRequest
{
public:
    // The settings are the run's, shared by every request and outliving them.
    explicit CurlRequest(const CurlSettings &settings);
    ~CurlRequest();
    Q_DISABLE_COPY(CurlRequest)

    CURL *handle() const;
    // The first option libcurl refused, as "CURLOPT_NAME: libcurl's words"; empty when none.
    const QByteArray &problem() const;
    // The next chunk: its address, which may carry credentials, and its size.
    void prepare(const QByteArray &url, qint64 size);
    // Before each time the body goes out.
    void prepareAttempt();
    // After each attempt, whatever ended it.
    void endAttempt();
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
    // Body bytes that libcurl wrote to the connection in the last transfer.
    qint64 uploadedSize() const;
    // libcurl's own words for the last attempt's failure; empty when it gave none.
    QByteArray errorText() const;

private:
    void configure();
    template <typename Value>
    void set(CURLoption option, const char *name, Value value);
    static CURLcode setUpTls(CURL *easy, void *context, void *self);
    static int showHeaders(CURL *easy, curl_infotype type, char *data, size_t size, void *self);

    const CurlSettings &settings;
    CURL *easy;
    curl_slist *headerList = nullptr;
    QByteArray url;
    QByteArray setupProblem;
    bool secure = false;
    // How credentials go to a plain http proxy.
    long proxyScheme = long(CURLAUTH_BASIC);
    bool proxyTookRequest = false;
    // The run's, or this request's own when the settings hold none.
    std::shared_ptr<CurlAuthorities> authorities;
    char errorBuffer[CURL_ERROR_SIZE] = {};
    // The reply's header lines so far: shown together once the last has come.
    QByteArray replyLines;
};

#endif // CURLREQUEST_H
