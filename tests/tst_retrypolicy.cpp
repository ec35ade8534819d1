#include "attemptrule.h"
#include "retrypolicy.h"

#include <QtTest>

Q_DECLARE_METATYPE(ExitStatus)

class TestRetryPolicy : public QObject
{
    Q_OBJECT

private slots:
    void transient_data();
    void transient();
    void waitSeconds_data();
    void waitSeconds();
    void decide_data();
    void decide();
};

void TestRetryPolicy::transient_data()
{
    QTest::addColumn<int>("httpStatus");
    QTest::addColumn<int>("error");
    QTest::addColumn<bool>("transient");
    const int none = int(FailureKind::None);
    QTest::newRow("102 taken as final") << 102 << none << true;
    QTest::newRow("104 taken as final") << 104 << none << true;
    QTest::newRow("404") << 404 << int(FailureKind::ContentNotFoundError) << false;
    QTest::newRow("408") << 408 << int(FailureKind::UnknownContentError) << true;
    QTest::newRow("501") << 501 << int(FailureKind::OperationNotImplementedError) << false;
    QTest::newRow("503") << 503 << int(FailureKind::ServiceUnavailableError) << true;
    QTest::newRow("308 not followed") << 308 << none << false;
    QTest::newRow("reset") << 0 << int(FailureKind::UnknownNetworkError) << true;
    QTest::newRow("re-send refused") << 0 << int(FailureKind::ContentReSendError) << true;
    QTest::newRow("TLS") << 0 << int(FailureKind::SslHandshakeFailedError) << false;
    QTest::newRow("2xx cut short") << 201 << int(FailureKind::RemoteHostClosedError) << true;
}

void TestRetryPolicy::transient()
{
    QFETCH(int, httpStatus);
    QFETCH(int, error);
    QFETCH(bool, transient);
    QCOMPARE(RetryPolicy::isTransient(httpStatus, FailureKind(error)), transient);
}

void TestRetryPolicy::waitSeconds_data()
{
    QTest::addColumn<int>("retriesMade");
    QTest::addColumn<QByteArray>("retryAfter");
    QTest::addColumn<int>("seconds");
    QTest::newRow("first backoff") << 0 << QByteArray() << 1;
    QTest::newRow("doubling") << 3 << QByteArray() << 8;
    QTest::newRow("backoff at its longest") << 6 << QByteArray() << 60;
    QTest::newRow("backoff stays there") << 40 << QByteArray() << 60;
    QTest::newRow("seconds") << 5 << QByteArray(" 7 ") << 7;
    QTest::newRow("zero") << 5 << QByteArray("0") << 0;
    QTest::newRow("just under the cap") << 0 << QByteArray("599") << 599;
    QTest::newRow("over the cap") << 0 << QByteArray("601") << 600;
    QTest::newRow("ten digits, leading zeros") << 0 << QByteArray("0000000003") << 3;
    QTest::newRow("beyond any integer") << 0 << QByteArray("99999999999999999999999") << 600;
    QTest::newRow("date, 30 s ahead") << 0 << QByteArray("Tue, 08 Dec 2026 10:00:30 GMT") << 30;
    QTest::newRow("date, part of a second ahead rounds up") << 0 << QByteArray("Tue, 08 Dec 2026 10:00:01 GMT") << 1;
    QTest::newRow("date in the past") << 2 << QByteArray("Tue, 08 Dec 2026 09:00:00 GMT") << 0;
    QTest::newRow("date a day ahead") << 0 << QByteArray("Wed, 09 Dec 2026 10:00:00 GMT") << 600;
    QTest::newRow("obsolete date, 30 s ahead") << 0 << QByteArray("Tuesday, 08-Dec-26 10:00:30 GMT") << 30;
    QTest::newRow("asctime date, 30 s ahead") << 0 << QByteArray("Tue Dec  8 10:00:30 2026") << 30;
    QTest::newRow("obsolete date, last century") << 2 << QByteArray("Sunday, 06-Nov-94 08:49:37 GMT") << 0;
    QTest::newRow("negative") << 2 << QByteArray("-5") << 4;
    QTest::newRow("not a date") << 1 << QByteArray("soon") << 2;
}

void TestRetryPolicy::waitSeconds()
{
    QFETCH(int, retriesMade);
    QFETCH(QByteArray, retryAfter);
    QFETCH(int, seconds);
    const QDateTime now(QDate(2026, 12, 8), QTime(10, 0, 0, 300), Qt::UTC);
    QCOMPARE(RetryPolicy::waitSeconds(retriesMade, retryAfter, now), seconds);
}

void TestRetryPolicy::decide_data()
{
    QTest::addColumn<int>("passing");
    QTest::addColumn<int>("httpStatus");
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("attempts");
    QTest::addColumn<QByteArray>("retryAfter");
    // Milliseconds left of the retry deadline and of the run; -1 for none.
    QTest::addColumn<int>("retryDeadline");
    QTest::addColumn<int>("runDeadline");
    QTest::addColumn<bool>("stopping");
    QTest::addColumn<ExitStatus>("exitStatus");
    // -1 when no attempt follows.
    QTest::addColumn<int>("wait");
    const int byKind = int(AttemptRule::Passing::ByKind);
    const int none = int(FailureKind::None);
    const ExitStatus temporary = ExitStatus::TemporaryFailure;
    QTest::newRow("503, the last retry left") << byKind << 503 << none << 3 << QByteArray() << -1 << -1 << false << temporary << 4;
    QTest::newRow("503, no retry left") << byKind << 503 << none << 4 << QByteArray() << -1 << -1 << false << temporary << -1;
    QTest::newRow("wait ends past the retry deadline") << byKind << 503 << none << 1 << QByteArray("5") << 4000 << -1 << false << temporary << -1;
    QTest::newRow("wait ends before the retry deadline") << byKind << 503 << none << 1 << QByteArray("5") << 60000 << -1 << false << temporary << 5;
    QTest::newRow("wait ends past the run") << byKind << 503 << none << 1 << QByteArray("5") << -1 << 4000 << false << temporary << -1;
    QTest::newRow("stopping") << byKind << 503 << none << 1 << QByteArray() << -1 << -1 << true << temporary << -1;
    QTest::newRow("TLS, final by its kind") << byKind << 0 << int(FailureKind::SslHandshakeFailedError) << 1 << QByteArray() << -1 << -1 << false << ExitStatus::Failure << -1;
    QTest::newRow("own reason that will not pass, over a 503") << int(AttemptRule::Passing::Never) << 503 << none << 1 << QByteArray() << -1 << -1 << false << ExitStatus::Failure << -1;
    QTest::newRow("own reason that may pass, over a 404") << int(AttemptRule::Passing::Always) << 404 << none << 1 << QByteArray() << -1 << -1 << false << temporary << 1;
}

void TestRetryPolicy::decide()
{
    QFETCH(int, passing);
    QFETCH(int, httpStatus);
    QFETCH(int, kind);
    QFETCH(int, attempts);
    QFETCH(QByteArray, retryAfter);
    QFETCH(int, retryDeadline);
    QFETCH(int, runDeadline);
    QFETCH(bool, stopping);
    QFETCH(ExitStatus, exitStatus);
    QFETCH(int, wait);
    AttemptRule::Ending ending;
    ending.passing = AttemptRule::Passing(passing);
    ending.httpStatus = httpStatus;
    ending.kind = FailureKind(kind);
    ending.attempts = attempts;
    ending.retries = 3;
    ending.retryAfter = retryAfter;
    ending.retryDeadline = QDeadlineTimer(retryDeadline);
    ending.runDeadline = QDeadlineTimer(runDeadline);
    ending.stopping = stopping;
    const AttemptRule::Decision decision = AttemptRule::decide(ending, QDateTime::currentDateTimeUtc());
    QCOMPARE(decision.exitStatus, exitStatus);
    QCOMPARE(decision.wait, wait);
}

QTEST_GUILESS_MAIN(TestRetryPolicy)
#include "tst_retrypolicy.moc"
