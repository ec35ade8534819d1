#include "curlerror.h"

#include "attemptrule.h"
#include "retrypolicy.h"

namespace {

FailureKind transportError(CURLcode code, bool throughProxy)
{
    switch (code) {
    case CURLE_COULDNT_RESOLVE_PROXY:
        return FailureKind::ProxyNotFoundError;
    case CURLE_COULDNT_RESOLVE_HOST:
        return FailureKind::HostNotFoundError;
    case CURLE_COULDNT_CONNECT:
        return throughProxy ? FailureKind::ProxyConnectionRefusedError : FailureKind::ConnectionRefusedError;
    case CURLE_OPERATION_TIMEDOUT:
        return throughProxy ? FailureKind::ProxyTimeoutError : FailureKind::TimeoutError;
    case CURLE_GOT_NOTHING:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_PARTIAL_FILE:
        return FailureKind::RemoteHostClosedError;
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
        return FailureKind::SslHandshakeFailedError;
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_URL_MALFORMAT:
        return FailureKind::ProtocolUnknownError;
    case CURLE_WEIRD_SERVER_REPLY:
        return FailureKind::ProtocolFailure;
    default:
        return FailureKind::UnknownNetworkError;
    }
}

FailureKind statusError(int httpStatus)
{
    switch (httpStatus) {
    case 400:
    case 418:
        return FailureKind::ProtocolInvalidOperationError;
    case 401:
        return FailureKind::AuthenticationRequiredError;
    case 403:
        return FailureKind::ContentAccessDenied;
    case 404:
        return FailureKind::ContentNotFoundError;
    case 405:
        return FailureKind::ContentOperationNotPermittedError;
    case 407:
        return FailureKind::ProxyAuthenticationRequiredError;
    case 409:
        return FailureKind::ContentConflictError;
    case 410:
        return FailureKind::ContentGoneError;
    case 500:
        return FailureKind::InternalServerError;
    case 501:
        return FailureKind::OperationNotImplementedError;
    case 503:
        return FailureKind::ServiceUnavailableError;
    default:
        return httpStatus > 500 ? FailureKind::UnknownServerError : FailureKind::UnknownContentError;
    }
}

CurlError decided(int httpStatus, FailureKind kind)
{
    CurlError failure;
    failure.kind = kind;
    failure.httpStatus = httpStatus;
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
    return AttemptRule::errorLine(kind);
}

bool CurlError::transient() const
{
    return RetryPolicy::isTransient(httpStatus, kind);
}
