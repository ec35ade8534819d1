#include "curlreply.h"

#include <QtTest>

class TestCurlReply : public QObject
{
    Q_OBJECT

private slots:
    void answer_data();
    void answer();
};

void TestCurlReply::answer_data()
{
    // The header lines as libcurl hands them over, trimmed, one per line.
    QTest::addColumn<QByteArray>("lines");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("taken");
    QTest::addColumn<int>("httpStatus");
    QTest::addColumn<QByteArray>("reason");
    QTest::addColumn<int>("headerCount");
    QTest::addColumn<qint64>("declared");
    QTest::addColumn<QByteArray>("bytes");
    const QByteArray deflated = qCompress(QByteArray("{\"status_code\":201}")).mid(4);
    QTest::newRow("interim answer replaced") << QByteArray("HTTP/1.1 100 Continue\nX: 1\n\nHTTP/1.1 201 Created\nContent-Length: 2") << QByteArray("{}") << true
                                            << 201 << QByteArray("Created") << 1 << qint64(2) << QByteArray("{}");
    QTest::newRow("reason of several words") << QByteArray("HTTP/1.1 503 Service Unavailable") << QByteArray() << true << 503 << QByteArray("Service Unavailable") << 0 << qint64(-1) << QByteArray();
    QTest::newRow("no reason") << QByteArray("HTTP/1.1 201") << QByteArray() << true << 201 << QByteArray() << 0 << qint64(-1) << QByteArray();
    QTest::newRow("length unreadable") << QByteArray("HTTP/1.1 201 OK\ncontent-length: 2x") << QByteArray("ab") << true << 201 << QByteArray("OK") << 1 << qint64(-1) << QByteArray("ab");
    QTest::newRow("length at the cap") << QByteArray("HTTP/1.1 201 OK\nContent-Length: 67108864") << QByteArray("ab") << true << 201 << QByteArray("OK") << 1 << qint64(67108864) << QByteArray("ab");
    QTest::newRow("length over the cap") << QByteArray("HTTP/1.1 201 OK\nCONTENT-LENGTH: 67108865") << QByteArray() << false << 201 << QByteArray("OK") << 1 << qint64(67108865) << QByteArray();
    QTest::newRow("deflated, any case") << QByteArray("HTTP/1.1 201 OK\ncontent-encoding: deflate") << deflated << true << 201 << QByteArray("OK") << 1 << qint64(-1) << QByteArray("{\"status_code\":201}");
}

void TestCurlReply::answer()
{
    QFETCH(QByteArray, lines);
    QFETCH(QByteArray, body);
    QFETCH(bool, taken);
    QFETCH(int, httpStatus);
    QFETCH(QByteArray, reason);
    QFETCH(int, headerCount);
    QFETCH(qint64, declared);
    QFETCH(QByteArray, bytes);
    CurlReply reply;
    // What an earlier attempt left must not show.
    reply.readHeader("HTTP/1.1 404 Not Found");
    reply.readHeader("Stale: 1");
    reply.start();
    bool accepted = true;
    for (const QByteArray &line : (lines + '\n').split('\n'))
        accepted = accepted && reply.readHeader(line);
    QCOMPARE(accepted, taken);
    QVERIFY(body.isEmpty() || reply.readBody(body));
    QCOMPARE(reply.httpStatus(), httpStatus);
    QCOMPARE(reply.reason(), reason);
    QCOMPARE(reply.headers().size(), headerCount);
    QCOMPARE(reply.declaredLength(), declared);
    QCOMPARE(reply.takeBody(), bytes);
    QCOMPARE(reply.receivedSize(), qint64(body.size()));
}

QTEST_GUILESS_MAIN(TestCurlReply)
#include "tst_curlreply.moc"
