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
    // Bytes the body may grow by, as a run's budget grants them; -1 for no bound but the cap.
    QTest::addColumn<qint64>("room");
    const QByteArray deflated = qCompress(QByteArray("{\"status_code\":201}")).mid(4);
    QTest::newRow("interim answer replaced") << QByteArray("HTTP/1.1 100 Continue\nX: 1\n\nHTTP/1.1 201 Created\nContent-Length: 2") << QByteArray("{}") << true
                                            << 201 << QByteArray("Created") << 1 << qint64(2) << QByteArray("{}") << qint64(-1);
    QTest::newRow("reason of several words") << QByteArray("HTTP/1.1 503 Service Unavailable") << QByteArray() << true << 503 << QByteArray("Service Unavailable") << 0 << qint64(-1) << QByteArray() << qint64(-1);
    QTest::newRow("no reason") << QByteArray("HTTP/1.1 201") << QByteArray() << true << 201 << QByteArray() << 0 << qint64(-1) << QByteArray() << qint64(-1);
    QTest::newRow("length unreadable") << QByteArray("HTTP/1.1 201 OK\ncontent-length: 2x") << QByteArray("ab") << true << 201 << QByteArray("OK") << 1 << qint64(-1) << QByteArray("ab") << qint64(-1);
    QTest::newRow("length at the cap") << QByteArray("HTTP/1.1 201 OK\nContent-Length: 67108864") << QByteArray("ab") << true << 201 << QByteArray("OK") << 1 << qint64(67108864) << QByteArray("ab") << qint64(-1);
    QTest::newRow("length over the cap") << QByteArray("HTTP/1.1 201 OK\nCONTENT-LENGTH: 67108865") << QByteArray() << false << 201 << QByteArray("OK") << 1 << qint64(67108865) << QByteArray() << qint64(-1);
    QTest::newRow("deflated, any case") << QByteArray("HTTP/1.1 201 OK\ncontent-encoding: deflate") << deflated << true << 201 << QByteArray("OK") << 1 << qint64(-1) << QByteArray("{\"status_code\":201}") << qint64(-1);
    // Refused before it is held: nothing of it stays.
    QTest::newRow("body beyond its room") << QByteArray("HTTP/1.1 201 OK\nContent-Length: 2") << QByteArray("ab") << true << 201 << QByteArray("OK") << 1
                                          << qint64(2) << QByteArray() << qint64(1);
    // The deflated bytes fit, their inflation does not: the body stays as it came.
    QTest::newRow("inflation beyond its room") << QByteArray("HTTP/1.1 201 OK\nContent-Encoding: deflate") << deflated << true << 201 << QByteArray("OK")
                                               << 1 << qint64(-1) << deflated << qint64(deflated.size() + 100);
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
    QFETCH(qint64, room);
    CurlReply reply;
    qint64 granted = 0;
    if (room >= 0)
        reply.setGrowth([&granted, room](qint64 more) {
            if (more > room - granted)
                return false;
            granted += more;
            return true;
        });
    // What an earlier attempt left must not show.
    reply.readHeader("HTTP/1.1 404 Not Found");
    reply.readHeader("Stale: 1");
    reply.start();
    bool accepted = true;
    for (const QByteArray &line : (lines + '\n').split('\n'))
        accepted = accepted && reply.readHeader(line);
    QCOMPARE(accepted, taken);
    QCOMPARE(body.isEmpty() || reply.readBody(body), room < 0);
    // What the body holds was granted first.
    QVERIFY(room < 0 || reply.heldSize() <= granted);
    QCOMPARE(reply.httpStatus(), httpStatus);
    QCOMPARE(reply.reason(), reason);
    QCOMPARE(reply.headers().size(), headerCount);
    QCOMPARE(reply.declaredLength(), declared);
    QCOMPARE(reply.takeBody(), bytes);
    QCOMPARE(reply.receivedSize(), qint64(bytes.size() == 0 ? 0 : body.size()));
}

QTEST_GUILESS_MAIN(TestCurlReply)
#include "tst_curlreply.moc"
