#include "curlrequest.h"

#include "uploadrequest.h"

#include <QUrl>

namespace {

// Larger pieces than libcurl's 64 KiB halve the calls per byte; four in flight still hold only 2 MiB.
const long uploadBufferSize = 512 << 10;

} // namespace

CurlRequest::CurlRequest(const CurlSettings &settings)
    : settings(settings)
    , easy(curl_easy_init())
{
    configure();
}

CurlRequest::~CurlRequest()
{
    curl_easy_cleanup(easy);
    curl_slist_free_all(headerList);
}

CURL *CurlRequest::handle() const
{
    return easy;
}

void CurlRequest::configure()
{
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_1_1));
    // The end of a body must not wait for the server's delayed acknowledgement.
    curl_easy_setopt(easy, CURLOPT_TCP_NODELAY, 1L);
    curl_easy_setopt(easy, CURLOPT_POST, 1L);
    curl_easy_setopt(easy, CURLOPT_UPLOAD_BUFFERSIZE, uploadBufferSize);
    // The proxy's own answer to CONNECT is not the server's reply.
    curl_easy_setopt(easy, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    curl_easy_setopt(easy, CURLOPT_SSLVERSION, long(CURL_SSLVERSION_TLSv1_2));
    if (!settings.authorityFile.isNull())
        curl_easy_setopt(easy, CURLOPT_CAINFO, settings.authorityFile.isEmpty() ? nullptr : settings.authorityFile.constData());
    if (!settings.authorityFolders.isNull())
        curl_easy_setopt(easy, CURLOPT_CAPATH, settings.authorityFolders.isEmpty() ? nullptr : settings.authorityFolders.constData());
    if (!settings.clientCertificate.isEmpty()) {
        curl_blob certificate = { const_cast<char *>(settings.clientCertificate.constData()), size_t(settings.clientCertificate.size()),
                                  CURL_BLOB_COPY };
        curl_blob key = { const_cast<char *>(settings.clientKey.constData()), size_t(settings.clientKey.size()), CURL_BLOB_COPY };
        curl_easy_setopt(easy, CURLOPT_SSLCERT_BLOB, &certificate);
        curl_easy_setopt(easy, CURLOPT_SSLKEY_BLOB, &key);
    }
    // An empty proxy, not the environment's http_proxy: the same request wherever it runs.
    QByteArray proxy;
    if (throughProxy()) {
        const QByteArray host = settings.upload.proxyHost.contains(':') ? '[' + settings.upload.proxyHost + ']' : settings.upload.proxyHost;
        proxy = "http://" + host + ':' + QByteArray::number(settings.upload.proxyPort);
    }
    curl_easy_setopt(easy, CURLOPT_PROXY, proxy.constData());
    if (throughProxy() && !settings.upload.proxyUser.isEmpty()) {
        curl_easy_setopt(easy, CURLOPT_PROXYUSERNAME, settings.upload.proxyUser.constData());
        curl_easy_setopt(easy, CURLOPT_PROXYPASSWORD, settings.upload.proxyPassword.constData());
    }
}

void CurlRequest::prepare(const QByteArray &address, qint64 size)
{
    // Credentials go with the request, as uploader sends them: a 401 is final.
    QUrl parsed(QString::fromUtf8(address));
    const QByteArray user = QByteArray::fromPercentEncoding(parsed.userName(QUrl::FullyEncoded).toLatin1());
    const QByteArray password = QByteArray::fromPercentEncoding(parsed.password(QUrl::FullyEncoded).toLatin1());
    parsed.setUserInfo(QString());
    url = parsed.toEncoded();
    secure = parsed.scheme() == QLatin1String("https");

    // The headers uploader sends, in the order it sets them; an empty token goes as an empty header.
    curl_slist_free_all(headerList);
    headerList = nullptr;
    QList<QByteArray> lines;
    lines << (settings.upload.apiToken.isEmpty() ? QByteArray("X_ZORV_API_TOKEN;") : "X_ZORV_API_TOKEN: " + settings.upload.apiToken)
          << "X_ZORV_LOCAL_TS_OFFSET: " + UploadRequest::localTimeZoneOffset().toLatin1() << "USER-AGENT: tovanel/5.0.0"
          << "Accept-Encoding: gzip,deflate" << "Content-Type: application/octet-stream"
          << "Content-Length: " + QByteArray::number(size) << "Connection: Keep-Alive" << "Keep-Alive: timeout=20000";
    if (!user.isEmpty() || !password.isEmpty())
        lines << "Authorization: Basic " + (user + ':' + password).toBase64();
    lines << "Accept-Language: en,*" << "Accept:" << "Expect:";
    for (const QByteArray &line : qAsConst(lines))
        headerList = curl_slist_append(headerList, line.constData());
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headerList);
    curl_easy_setopt(easy, CURLOPT_URL, url.constData());
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(size));
    // Over plain http, Basic goes with the request, unless the proxy asked for
    // another scheme before: a proxy that answers 407 and closes loses no body.
    // A tunnel is asked for in whichever scheme the proxy offers.
    curl_easy_setopt(easy, CURLOPT_PROXYAUTH, secure ? CURLAUTH_ANY : proxyScheme);
}

void CurlRequest::prepareAttempt()
{
    // A proxy that refused a request before reading its body may not read the
    // next one on that connection (squid): none is kept until it takes one.
    curl_easy_setopt(easy, CURLOPT_FORBID_REUSE, long(throughPlainProxy() && !proxyTookRequest));
}

bool CurlRequest::answerProxyScheme(int httpStatus)
{
    long offered = 0;
    curl_easy_getinfo(easy, CURLINFO_PROXYAUTH_AVAIL, &offered);
    // Digest only: the schemes that ask twice (NTLM) would first post no body, which the request's own Content-Length contradicts.
    if (!throughPlainProxy() || settings.upload.proxyUser.isEmpty() || httpStatus != 407 || proxyScheme != long(CURLAUTH_BASIC)
        || (offered & long(CURLAUTH_DIGEST)) == 0)
        return false;
    proxyScheme = long(CURLAUTH_DIGEST);
    curl_easy_setopt(easy, CURLOPT_PROXYAUTH, proxyScheme);
    return true;
}

void CurlRequest::answered(int httpStatus)
{
    proxyTookRequest = proxyTookRequest || (httpStatus > 0 && httpStatus != 407);
}

bool CurlRequest::throughPlainProxy() const
{
    return throughProxy() && !secure;
}

bool CurlRequest::throughProxy() const
{
    return !settings.upload.proxyHost.isEmpty();
}

long CurlRequest::connectCode() const
{
    long code = 0;
    curl_easy_getinfo(easy, CURLINFO_HTTP_CONNECTCODE, &code);
    return code;
}

const QByteArray &CurlRequest::address() const
{
    return url;
}
