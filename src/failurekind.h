#ifndef FAILUREKIND_H
#define FAILUREKIND_H

// Why an attempt failed, whatever the transport. The number of each is the
// one the console prints in " >> Reply Error #: N " (the numbers Qt gives the
// same failures), so both programs name a failure alike.
enum class FailureKind {
    None = 0,
    ConnectionRefusedError = 1,
    RemoteHostClosedError = 2,
    HostNotFoundError = 3,
    TimeoutError = 4,
    OperationCanceledError = 5,
    SslHandshakeFailedError = 6,
    TemporaryNetworkFailureError = 7,
    NetworkSessionFailedError = 8,
    BackgroundRequestNotAllowedError = 9,
    TooManyRedirectsError = 10,
    InsecureRedirectError = 11,
    UnknownNetworkError = 99,
    ProxyConnectionRefusedError = 101,
    ProxyConnectionClosedError = 102,
    ProxyNotFoundError = 103,
    ProxyTimeoutError = 104,
    ProxyAuthenticationRequiredError = 105,
    UnknownProxyError = 199,
    ContentAccessDenied = 201,
    ContentOperationNotPermittedError = 202,
    ContentNotFoundError = 203,
    AuthenticationRequiredError = 204,
    ContentReSendError = 205,
    ContentConflictError = 206,
    ContentGoneError = 207,
    UnknownContentError = 299,
    ProtocolUnknownError = 301,
    ProtocolInvalidOperationError = 302,
    ProtocolFailure = 399,
    InternalServerError = 401,
    OperationNotImplementedError = 402,
    ServiceUnavailableError = 403,
    UnknownServerError = 499,
};

#endif // FAILUREKIND_H
