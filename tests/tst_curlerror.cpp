#include "curlerror.h"

#include <QtTest>

class TestCurlError : public QObject
{
    Q_OBJECT

private slots:
    void fromCode_data();
    void fromCode();
    void fromStatus_data();
    void fromStatus();
};

void TestCurlError::fromCode_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<bool>("throughProxy");
    // Of what came before the failure; 0 when nothing did.
    QTest::addColumn<int>("httpStatus");
    QTest::addColumn<int>("number");
    QTest::addColumn<bool>("transient");
    // libcurl's own words for the failure.
    QTest::addColumn<QByteArray>("text");
    QTest::newRow("refused") << int(CURLE_COULDNT_CONNECT) << false << 0 << int(FailureKind::ConnectionRefusedError) << true << QByteArray();
    QTest::newRow("proxy refused") << int(CURLE_COULDNT_CONNECT) << true << 0 << int(FailureKind::ProxyConnectionRefusedError) << true << QByteArray();
    QTest::newRow("timed out") << int(CURLE_OPERATION_TIMEDOUT) << false << 0 << int(FailureKind::TimeoutError) << true << QByteArray();
    QTest::newRow("proxy timed out") << int(CURLE_OPERATION_TIMEDOUT) << true << 0 << int(FailureKind::ProxyTimeoutError) << true << QByteArray();
    QTest::newRow("proxy not found") << int(CURLE_COULDNT_RESOLVE_PROXY) << true << 0 << int(FailureKind::ProxyNotFoundError) << true << QByteArray();
    QTest::newRow("host not found, through a proxy") << int(CURLE_COULDNT_RESOLVE_HOST) << true << 0 << int(FailureKind::HostNotFoundError) << true << QByteArray();
    QTest::newRow("closed without an answer") << int(CURLE_GOT_NOTHING) << false << 0 << int(FailureKind::RemoteHostClosedError) << true << QByteArray();
    QTest::newRow("reset while sending") << int(CURLE_SEND_ERROR) << true << 0 << int(FailureKind::RemoteHostClosedError) << true << QByteArray();
    QTest::newRow("reset after a 503") << int(CURLE_RECV_ERROR) << false << 503 << int(FailureKind::RemoteHostClosedError) << true << QByteArray();
    QTest::newRow("reset after a 404") << int(CURLE_RECV_ERROR) << false << 404 << int(FailureKind::RemoteHostClosedError) << false << QByteArray();
    QTest::newRow("certificate not trusted") << int(CURLE_PEER_FAILED_VERIFICATION) << false << 0 << int(FailureKind::SslHandshakeFailedError) << false << QByteArray();
    QTest::newRow("no TLS through the tunnel") << int(CURLE_SSL_CONNECT_ERROR) << true << 0 << int(FailureKind::SslHandshakeFailedError) << false << QByteArray();
    QTest::newRow("client certificate unusable") << int(CURLE_SSL_CERTPROBLEM) << false << 0 << int(FailureKind::SslHandshakeFailedError) << false << QByteArray();
    QTest::newRow("scheme unknown") << int(CURLE_UNSUPPORTED_PROTOCOL) << false << 0 << int(FailureKind::ProtocolUnknownError) << false << QByteArray();
    QTest::newRow("not HTTP") << int(CURLE_WEIRD_SERVER_REPLY) << false << 0 << int(FailureKind::ProtocolFailure) << false << QByteArray();
    const bool permanent = false;
    QTest::newRow("client certificate refused") << int(CURLE_SSL_CLIENTCERT) << false << 0 << int(FailureKind::SslHandshakeFailedError) << permanent
                                                << QByteArray();
    QTest::newRow("certificate status invalid") << int(CURLE_SSL_INVALIDCERTSTATUS) << false << 0 << int(FailureKind::SslHandshakeFailedError)
                                                << permanent << QByteArray();
    QTest::newRow("TLS shutdown failed") << int(CURLE_SSL_SHUTDOWN_FAILED) << false << 0 << int(FailureKind::SslHandshakeFailedError) << permanent
                                         << QByteArray();
    // TLS 1.3: the refusal comes after the handshake, as a failed read in libcurl 7.88.
    QTest::newRow("TLS 1.3 alert: certificate required")
        << int(CURLE_RECV_ERROR) << false << 0 << int(FailureKind::SslHandshakeFailedError) << permanent
        << QByteArray("OpenSSL SSL_read: OpenSSL/3.0.19: error:0A00045C:SSL routines::tlsv13 alert certificate required, errno 0");
    QTest::newRow("TLS 1.3 alert while sending: unknown ca")
        << int(CURLE_SEND_ERROR) << false << 0 << int(FailureKind::SslHandshakeFailedError) << permanent
        << QByteArray("OpenSSL SSL_write: error:0A000418:SSL routines::tlsv1 alert unknown ca, errno 0");
    QTest::newRow("reset, no alert") << int(CURLE_RECV_ERROR) << false << 0 << int(FailureKind::RemoteHostClosedError) << true
                                     << QByteArray("Recv failure: Connection reset by peer");
    QTest::newRow("any other") << int(CURLE_WRITE_ERROR) << true << 0 << int(FailureKind::UnknownNetworkError) << true << QByteArray();
}

void TestCurlError::fromCode()
{
    QFETCH(int, code);
    QFETCH(bool, throughProxy);
    QFETCH(int, httpStatus);
    QFETCH(int, number);
    QFETCH(bool, transient);
    QFETCH(QByteArray, text);
    const CurlError error = CurlError::fromCode(CURLcode(code), throughProxy, httpStatus, text);
    QCOMPARE(int(error.kind), number);
    QCOMPARE(error.transient(), transient);
}

void TestCurlError::fromStatus_data()
{
    QTest::addColumn<int>("httpStatus");
    QTest::addColumn<int>("number");
    QTest::addColumn<bool>("transient");
    QTest::newRow("400") << 400 << int(FailureKind::ProtocolInvalidOperationError) << false;
    QTest::newRow("401") << 401 << int(FailureKind::AuthenticationRequiredError) << false;
    QTest::newRow("407") << 407 << int(FailureKind::ProxyAuthenticationRequiredError) << false;
    QTest::newRow("408") << 408 << int(FailureKind::UnknownContentError) << true;
    QTest::newRow("418") << 418 << int(FailureKind::ProtocolInvalidOperationError) << false;
    QTest::newRow("429") << 429 << int(FailureKind::UnknownContentError) << true;
    QTest::newRow("499") << 499 << int(FailureKind::UnknownContentError) << false;
    QTest::newRow("500") << 500 << int(FailureKind::InternalServerError) << true;
    QTest::newRow("501") << 501 << int(FailureKind::OperationNotImplementedError) << false;
    QTest::newRow("502") << 502 << int(FailureKind::UnknownServerError) << true;
    QTest::newRow("503") << 503 << int(FailureKind::ServiceUnavailableError) << true;
    QTest::newRow("505") << 505 << int(FailureKind::UnknownServerError) << false;
}

void TestCurlError::fromStatus()
{
    QFETCH(int, httpStatus);
    QFETCH(int, number);
    QFETCH(bool, transient);
    const CurlError error = CurlError::fromStatus(httpStatus);
    QCOMPARE(int(error.kind), number);
    QCOMPARE(error.transient(), transient);
}

QTEST_GUILESS_MAIN(TestCurlError)
#include "tst_curlerror.moc"
