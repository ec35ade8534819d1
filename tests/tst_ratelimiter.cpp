#include "ratelimiter.h"

#include <QtTest>

class TestRateLimiter : public QObject
{
    Q_OBJECT

private slots:
    void steps_data();
    void steps();
    void heldToRate_data();
    void heldToRate();
};

void TestRateLimiter::steps_data()
{
    QTest::addColumn<qint64>("rate");
    // "MS:WANTED=GRANTED" takes at a clock of MS milliseconds; "MS:WANTED~WAIT" asks how long to wait instead.
    QTest::addColumn<QString>("script");
    const qint64 mebibyte = 1 << 20;
    QTest::newRow("nothing at the start") << mebibyte << "0:65536=0 0:65536~20";
    QTest::newRow("a piece after a fiftieth of a second") << mebibyte << "10:65536=0 10:65536~11 20:65536=20971";
    QTest::newRow("less than a piece asked for goes as soon as it is there") << mebibyte << "1:2000=0 1:2000~1 2:2000=2000 2:97=97 2:1=0";
    QTest::newRow("taken credit is gone") << mebibyte << "20:65536=20971 20:65536=0 20:1=0 21:1=1";
    QTest::newRow("idle time banks a quarter of a second") << mebibyte << "1000:1048576=262144 1000:1=0";
    QTest::newRow("what was not banked is not given later") << mebibyte << "1000:1048576=262144 1020:1048576=20971";
    QTest::newRow("a slow rate gives whole pieces of its own") << qint64(100) << "50:10=0 100:10=10 1000:200=0 1100:200=100";
    QTest::newRow("a clock that stands still gives nothing") << mebibyte << "0:1=0 0:1=0 0:1~1";
    QTest::newRow("nothing wanted, nothing taken") << mebibyte << "20:0=0 20:65536=20971";
    QTest::newRow("4 GiB/s without overflow") << (qint64(4) << 30) << "3600000:65536=65536 3600000:1073741824=1073676288";
}

void TestRateLimiter::steps()
{
    QFETCH(qint64, rate);
    QFETCH(QString, script);
    qint64 now = 0;
    RateLimiter limiter(rate, [&now] { return now; });
    for (const QString &step : script.split(QLatin1Char(' '))) {
        const QStringList parts = step.split(QRegularExpression(QStringLiteral("[:=~]")));
        now = parts.at(0).toLongLong() * 1000000;
        if (step.contains(QLatin1Char('~')))
            QVERIFY2(limiter.waitMilliseconds(parts.at(1).toLongLong()) == parts.at(2).toInt(), qPrintable(step));
        else
            QVERIFY2(limiter.take(parts.at(1).toLongLong()) == parts.at(2).toLongLong(), qPrintable(step));
    }
}

void TestRateLimiter::heldToRate_data()
{
    QTest::addColumn<qint64>("rate");
    // How often the takers come back, and how much each asks for.
    QTest::addColumn<int>("stepMicroseconds");
    QTest::addColumn<qint64>("wanted");
    QTest::newRow("25 MiB/s, 512 KiB pieces, woken every millisecond") << qint64(25) * (1 << 20) << 1000 << qint64(512 << 10);
    QTest::newRow("25 MiB/s, woken late, every 30 ms") << qint64(25) * (1 << 20) << 30000 << qint64(512 << 10);
    QTest::newRow("1 KiB/s, small asks") << qint64(1024) << 7000 << qint64(100);
    QTest::newRow("1 GiB/s, a step each 100 microseconds") << (qint64(1) << 30) << 100 << qint64(1 << 20);
}

// Busy takers never get ahead of the rate, and never fall behind it by more than a piece.
void TestRateLimiter::heldToRate()
{
    QFETCH(qint64, rate);
    QFETCH(int, stepMicroseconds);
    QFETCH(qint64, wanted);
    qint64 now = 0;
    RateLimiter limiter(rate, [&now] { return now; });
    qint64 total = 0;
    const qint64 seconds = 4;
    for (; now <= seconds * 1000000000; now += stepMicroseconds * qint64(1000))
        total += limiter.take(wanted) + limiter.take(wanted);
    QVERIFY2(total <= rate * seconds, qPrintable(QString::number(total)));
    QVERIFY2(total >= rate * seconds - qMax(wanted, rate * stepMicroseconds / 1000000) - rate / 50, qPrintable(QString::number(total)));
}

QTEST_GUILESS_MAIN(TestRateLimiter)
#include "tst_ratelimiter.moc"
