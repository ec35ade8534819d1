#include "curlerror.h"

#include "retrypolicy.h"

#include <QNetworkReply>

namespace {

QNetworkReply::NetworkError transportError(CURLcode code, bool throughProxy)
{
    switch (code) {
    case CURLE_COULDNT_RESOLVE_PROXY:
        return QNetworkReply::ProxyNotFoundError;
    case CURLE_COULDNT_RESOLVE_HOST:
        return QNetworkReply::HostNotFoundError;
    case CURLE_COULDNT_CONNECT:
        return throughProxy ? QNetworkReply::ProxyConnectionRefusedError : QNetworkReply::ConnectionRefusedError;
    case CURLE_OPERATION_TIMEDOUT:
        return throughProxy ? QNetworkReply::ProxyTimeoutError : QNetworkReply::TimeoutError;
    case CURLE_GOT_NOTHING:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_PARTIAL_FILE:
        return QNetworkReply::RemoteHostClosedError;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_USE_SSL_FAILED:
    case CURLE_SSL_SHUTDOWN_FAILED:
    case CURLE_SSL_INVALIDCERTSTATUS:
    // The server refused the client certificate, or wanted one (TLS 1.3's
    // certificate_required): it will refuse it again.
    case CURLE_SSL_CLIENTCERT:
        return QNetworkReply::SslHandshakeFailedError;
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_URL_MALFORMAT:
        return QNetworkReply::ProtocolUnknownError;
    case CURLE_WEIRD_SERVER_REPLY:
        return QNetworkReply::ProtocolFailure;
    default:
        return QNetworkReply::UnknownNetworkError;
    }
}

QNetworkReply::NetworkError statusError(int httpStatus)
{
    switch (httpStatus) {
    case 400:
    case 418:
        return QNetworkReply::ProtocolInvalidOperationError;
    case 401:
        return QNetworkReply::AuthenticationRequiredError;
    case 403:
        return QNetworkReply::ContentAccessDenied;
    case 404:
        return QNetworkReply::ContentNotFoundError;
    case 405:
        return QNetworkReply::ContentOperationNotPermittedError;
    case 407:
        return QNetworkReply::ProxyAuthenticationRequiredError;
    case 409:
        return QNetworkReply::ContentConflictError;
    case 410:
        return QNetworkReply::ContentGoneError;
    case 500:
        return QNetworkReply::InternalServerError;
    case 501:
        return QNetworkReply::OperationNotImplementedError;
    case 503:
        return QNetworkReply::ServiceUnavailableError;
    default:
        return httpStatus > 500 ? QNetworkReply::UnknownServerError : QNetworkReply::UnknownContentError;
    }
}

CurlError decided(int httpStatus, QNetworkReply::NetworkError error)
{
    CurlError failure;
    failure.number = int(error);
    failure.transient = RetryPolicy::isTransient(httpStatus, error);
    return failure;
}

} // namespace

namespace {

// Over TLS 1.3 the server checks the client's certificate after the
// handshake: its refusal, a TLS alert, ends a read or a write of the request,
// which libcurl 7.88 reports as a failed receive or send, the alert in its words.
bool refusesCertificate(CURLcode code, const QByteArray &text)
{
    if (code != CURLE_RECV_ERROR && code != CURLE_SEND_ERROR)
        return false;
    for (const char *alert : { "alert certificate required", "alert bad certificate", "alert unknown ca", "alert certificate expired",
                               "alert certificate revoked", "alert certificate unknown", "alert unsupported certificate" })
        if (text.contains(alert))
            return true;
    return false;
}

} // namespace

CurlError CurlError::fromCode(CURLcode code, bool throughProxy, int httpStatus, const QByteArray &text)
{
    return decided(httpStatus, transportError(refusesCertificate(code, text) ? CURLE_SSL_CLIENTCERT : code, throughProxy));
}

CurlError CurlError::fromStatus(int httpStatus)
{
    return decided(httpStatus, statusError(httpStatus));
}

QByteArray CurlError::line() const
{
    return " >> Reply Error #: " + QByteArray::number(number) + ' ';
}
