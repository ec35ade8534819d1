#include "interruptwatcher.h"

#include <QtTest>

#include <csignal>

class TestInterruptWatcher : public QObject
{
    Q_OBJECT

private slots:
    void delivery_data();
    void delivery();
};

void TestInterruptWatcher::delivery_data()
{
    QTest::addColumn<int>("number");
    QTest::addColumn<bool>("ignoredAtStart");
    // -1: the signal does not reach the run.
    QTest::addColumn<int>("status");
    QTest::newRow("SIGINT") << SIGINT << false << 130;
    QTest::newRow("SIGTERM") << SIGTERM << false << 143;
    QTest::newRow("SIGHUP") << SIGHUP << false << 129;
    QTest::newRow("SIGINT ignored by a shell's background job") << SIGINT << true << -1;
    QTest::newRow("SIGHUP ignored under nohup") << SIGHUP << true << -1;
}

void TestInterruptWatcher::delivery()
{
    QFETCH(int, number);
    QFETCH(bool, ignoredAtStart);
    QFETCH(int, status);
    std::signal(number, ignoredAtStart ? SIG_IGN : SIG_DFL);
    InterruptWatcher watcher;
    int received = -1;
    connect(&watcher, &InterruptWatcher::interrupted, this, [&received](ExitStatus exitStatus) { received = int(exitStatus); });
    QCOMPARE(::raise(number), 0);
    // A signal that is delivered reaches the loop at once; the wait bounds the one that must not.
    QCOMPARE(QTest::qWaitFor([&received] { return received >= 0; }, status < 0 ? 200 : 10000), status >= 0);
    QCOMPARE(received, status);
    std::signal(number, SIG_DFL);
}

QTEST_GUILESS_MAIN(TestInterruptWatcher)
#include "tst_interruptwatcher.moc"
