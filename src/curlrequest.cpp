#include "curlrequest.h"

#include "curlauthorities.h"
#include "requestheaders.h"

#include <QUrl>

#include <openssl/ssl.h>

namespace {

// Larger pieces than libcurl's 64 KiB halve the calls per byte; four in flight still hold only 2 MiB.
const long uploadBufferSize = 512 << 10;

} // namespace

CurlRequest::CurlRequest(const CurlSettings &settings)
    : settings(settings)
    , easy(curl_easy_init())
    , authorities(settings.authorities)
{
    if (!easy) {
        setupProblem = "curl_easy_init: no handle";
        return;
    }
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

const QByteArray &CurlRequest::problem() const
{
    return setupProblem;
}

// The first refusal is kept: a request missing an option (a client
// certificate, the protocols allowed) must not go out as if it had it.
template <typename Value>
void CurlRequest::set(CURLoption option, const char *name, Value value)
{
    if (!easy)
        return;
    const CURLcode code = curl_easy_setopt(easy, option, value);
    if (code != CURLE_OK && setupProblem.isEmpty())
        setupProblem = QByteArray(name) + ": " + curl_easy_strerror(code);
}

void CurlRequest::configure()
{
    set(CURLOPT_ERRORBUFFER, "CURLOPT_ERRORBUFFER", errorBuffer);
    set(CURLOPT_NOSIGNAL, "CURLOPT_NOSIGNAL", 1L);
    // Nothing but http and https, whatever the address says, now or in a redirect.
    set(CURLOPT_PROTOCOLS_STR, "CURLOPT_PROTOCOLS_STR", "http,https");
    set(CURLOPT_REDIR_PROTOCOLS_STR, "CURLOPT_REDIR_PROTOCOLS_STR", "http,https");
    set(CURLOPT_HTTP_VERSION, "CURLOPT_HTTP_VERSION", long(CURL_HTTP_VERSION_1_1));
    // The end of a body must not wait for the server's delayed acknowledgement.
    set(CURLOPT_TCP_NODELAY, "CURLOPT_TCP_NODELAY", 1L);
    set(CURLOPT_POST, "CURLOPT_POST", 1L);
    set(CURLOPT_UPLOAD_BUFFERSIZE, "CURLOPT_UPLOAD_BUFFERSIZE", uploadBufferSize);
    // The proxy's own answer to CONNECT is not the server's reply.
    set(CURLOPT_SUPPRESS_CONNECT_HEADERS, "CURLOPT_SUPPRESS_CONNECT_HEADERS", 1L);
    set(CURLOPT_SSLVERSION, "CURLOPT_SSLVERSION", long(CURL_SSLVERSION_TLSv1_2));
    // The authorities come from the run's store, set on each connection's
    // context: libcurl loads none itself, and keeps no store of its own.
    set(CURLOPT_CAINFO, "CURLOPT_CAINFO", static_cast<const char *>(nullptr));
    set(CURLOPT_CAPATH, "CURLOPT_CAPATH", static_cast<const char *>(nullptr));
    set(CURLOPT_CA_CACHE_TIMEOUT, "CURLOPT_CA_CACHE_TIMEOUT", 0L);
    set(CURLOPT_SSL_CTX_FUNCTION, "CURLOPT_SSL_CTX_FUNCTION", &CurlRequest::setUpTls);
    set(CURLOPT_SSL_CTX_DATA, "CURLOPT_SSL_CTX_DATA", this);
    if (!settings.clientCertificate.isEmpty()) {
        // Not copied into each handle: the run's one copy outlives them all.
        curl_blob certificate = { const_cast<char *>(settings.clientCertificate.constData()), size_t(settings.clientCertificate.size()),
                                  CURL_BLOB_NOCOPY };
        curl_blob key = { const_cast<char *>(settings.clientKey.constData()), size_t(settings.clientKey.size()), CURL_BLOB_NOCOPY };
        set(CURLOPT_SSLCERT_BLOB, "CURLOPT_SSLCERT_BLOB", &certificate);
        set(CURLOPT_SSLKEY_BLOB, "CURLOPT_SSLKEY_BLOB", &key);
    }
    // An empty proxy, not the environment's http_proxy: the same request wherever it runs.
    QByteArray proxy;
    if (throughProxy()) {
        const QByteArray host = settings.upload.proxyHost.contains(':') ? '[' + settings.upload.proxyHost + ']' : settings.upload.proxyHost;
        proxy = "http://" + host + ':' + QByteArray::number(settings.upload.proxyPort);
    }
    set(CURLOPT_PROXY, "CURLOPT_PROXY", proxy.constData());
    // No host goes around it: libcurl would read NO_PROXY and no_proxy even beside a proxy set here.
    set(CURLOPT_NOPROXY, "CURLOPT_NOPROXY", "");
    if (settings.headerLines) {
        set(CURLOPT_DEBUGFUNCTION, "CURLOPT_DEBUGFUNCTION", &CurlRequest::showHeaders);
        set(CURLOPT_DEBUGDATA, "CURLOPT_DEBUGDATA", this);
        set(CURLOPT_VERBOSE, "CURLOPT_VERBOSE", 1L);
    }
    if (throughProxy() && !settings.upload.proxyUser.isEmpty()) {
        set(CURLOPT_PROXYUSERNAME, "CURLOPT_PROXYUSERNAME", settings.upload.proxyUser.constData());
        set(CURLOPT_PROXYPASSWORD, "CURLOPT_PROXYPASSWORD", settings.upload.proxyPassword.constData());
    }
}

// Each new TLS connection verifies with the run's store, loaded the first time one is needed.
CURLcode CurlRequest::setUpTls(CURL *, void *context, void *self)
{
    auto *request = static_cast<CurlRequest *>(self);
    if (!request->authorities)
        request->authorities = std::make_shared<CurlAuthorities>(request->settings.authorityFile, request->settings.authorityFolders);
    X509_STORE *store = request->authorities->store();
    if (!store)
        return CURLE_SSL_CACERT_BADFILE;
    SSL_CTX_set1_cert_store(static_cast<SSL_CTX *>(context), store);
    return CURLE_OK;
}

// A request's headers come as one block, a reply's a line at a time: both
// are shown as one block, so that the lines of parallel chunks do not mix.
int CurlRequest::showHeaders(CURL *, curl_infotype type, char *data, size_t size, void *self)
{
    if (type != CURLINFO_HEADER_OUT && type != CURLINFO_HEADER_IN)
        return 0;
    auto *request = static_cast<CurlRequest *>(self);
    const QByteArray &token = request->settings.upload.apiToken;
    QByteArray shown;
    for (const QByteArray &line : QByteArray(data, int(size)).split('\n')) {
        QByteArray text = RequestHeaders::masked(line.trimmed(), token);
        // A server's escape sequence or carriage return would redraw the terminal.
        for (char &c : text)
            if ((uchar(c) < 0x20 && c != '\t') || c == 0x7f)
                c = '?';
        if (!text.isEmpty())
            shown += (type == CURLINFO_HEADER_OUT ? "> " : "< ") + text + '\n';
    }
    if (type == CURLINFO_HEADER_OUT) {
        shown.chop(1);
        request->settings.headerLines(request->easy, shown);
        return 0;
    }
    request->replyLines += shown;
    // The empty line that ends a reply's headers.
    if (shown.isEmpty() && !request->replyLines.isEmpty()) {
        request->replyLines.chop(1);
        request->settings.headerLines(request->easy, request->replyLines);
        request->replyLines.clear();
    }
    return 0;
}

void CurlRequest::prepare(const QByteArray &address, qint64 size)
{
    // Credentials go with the request, as uploader sends them: a 401 is final.
    QUrl parsed(QString::fromUtf8(address));
    url = parsed.adjusted(QUrl::RemoveUserInfo).toEncoded();
    secure = parsed.scheme() == QLatin1String("https");

    // The headers uploader sends, in its order; an empty value goes as an empty header.
    curl_slist_free_all(headerList);
    headerList = nullptr;
    QList<QByteArray> lines;
    for (const RequestHeaders::Header &header : RequestHeaders::build(parsed, settings.upload.apiToken, size))
        lines << (header.second.isEmpty() ? header.first + ';' : header.first + ": " + header.second);
    lines << "Accept-Language: en,*" << "Accept:" << "Expect:";
    for (const QByteArray &line : qAsConst(lines)) {
        curl_slist *longer = curl_slist_append(headerList, line.constData());
        if (!longer && setupProblem.isEmpty())
            setupProblem = "curl_slist_append: no memory";
        headerList = longer ? longer : headerList;
    }
    set(CURLOPT_HTTPHEADER, "CURLOPT_HTTPHEADER", headerList);
    set(CURLOPT_URL, "CURLOPT_URL", url.constData());
    set(CURLOPT_POSTFIELDSIZE_LARGE, "CURLOPT_POSTFIELDSIZE_LARGE", curl_off_t(size));
    // Over plain http, Basic goes with the request, unless the proxy asked for
    // another scheme before: a proxy that answers 407 and closes loses no body.
    // A tunnel is asked for in whichever scheme the proxy offers.
    set(CURLOPT_PROXYAUTH, "CURLOPT_PROXYAUTH", secure ? CURLAUTH_ANY : proxyScheme);
}

void CurlRequest::endAttempt()
{
    // A reply cut off within its headers is shown as far as it came, and no later reply starts with it.
    if (!replyLines.isEmpty()) {
        replyLines.chop(1);
        settings.headerLines(easy, replyLines);
        replyLines.clear();
    }
}

void CurlRequest::prepareAttempt()
{
    errorBuffer[0] = '\0';
    // A proxy that refused a request before reading its body may not read the
    // next one on that connection (squid): none is kept until it takes one.
    set(CURLOPT_FORBID_REUSE, "CURLOPT_FORBID_REUSE", long(throughPlainProxy() && !proxyTookRequest));
}

bool CurlRequest::answerProxyScheme(int httpStatus)
{
    long offered = 0;
    if (easy)
        curl_easy_getinfo(easy, CURLINFO_PROXYAUTH_AVAIL, &offered);
    // Digest only: the schemes that ask twice (NTLM) would first post no body, which the request's own Content-Length contradicts.
    if (!throughPlainProxy() || settings.upload.proxyUser.isEmpty() || httpStatus != 407 || proxyScheme != long(CURLAUTH_BASIC)
        || (offered & long(CURLAUTH_DIGEST)) == 0)
        return false;
    proxyScheme = long(CURLAUTH_DIGEST);
    set(CURLOPT_PROXYAUTH, "CURLOPT_PROXYAUTH", proxyScheme);
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
    if (easy)
        curl_easy_getinfo(easy, CURLINFO_HTTP_CONNECTCODE, &code);
    return code;
}

const QByteArray &CurlRequest::address() const
{
    return url;
}

qint64 CurlRequest::uploadedSize() const
{
    curl_off_t uploaded = 0;
    if (easy)
        curl_easy_getinfo(easy, CURLINFO_SIZE_UPLOAD_T, &uploaded);
    return qint64(uploaded);
}

QByteArray CurlRequest::errorText() const
{
    return QByteArray(errorBuffer, int(qstrnlen(errorBuffer, sizeof errorBuffer))).trimmed();
}
