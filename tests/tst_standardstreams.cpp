#include "standardstreams.h"

#include <QtTest>

#include <fcntl.h>
#include <unistd.h>

namespace {

// What a descriptor is open on and how, or "closed".
QByteArray describe(int descriptor)
{
    const int flags = ::fcntl(descriptor, F_GETFL);
    if (flags < 0)
        return "closed";
    char target[256] = {};
    const ssize_t length = ::readlink(QByteArray("/proc/self/fd/" + QByteArray::number(descriptor)).constData(), target, sizeof target - 1);
    const int mode = flags & O_ACCMODE;
    return QByteArray(target, int(qMax<ssize_t>(length, 0))) + (mode == O_RDONLY ? " r" : mode == O_WRONLY ? " w" : " rw");
}

} // namespace

class TestStandardStreams : public QObject
{
    Q_OBJECT

private slots:
    void openClosed_data();
    void openClosed();
};

void TestStandardStreams::openClosed_data()
{
    // Standard input, output and error: 'c' closed before the call, '-' left open.
    QTest::addColumn<QByteArray>("closed");
    QTest::newRow("none closed: each left as it was") << QByteArray("---");
    QTest::newRow("standard input closed") << QByteArray("c--");
    QTest::newRow("standard output closed") << QByteArray("-c-");
    QTest::newRow("standard error closed") << QByteArray("--c");
    QTest::newRow("output and error closed") << QByteArray("-cc");
    QTest::newRow("input and error closed") << QByteArray("c-c");
    QTest::newRow("all three closed") << QByteArray("ccc");
}

// A closed one is opened on /dev/null, for reading or writing as its use is, and
// the next file opened takes a number past the three.
void TestStandardStreams::openClosed()
{
    QFETCH(QByteArray, closed);
    QByteArray before[3];
    int saved[3];
    for (int descriptor = 0; descriptor < 3; ++descriptor) {
        before[descriptor] = describe(descriptor);
        saved[descriptor] = ::fcntl(descriptor, F_DUPFD_CLOEXEC, 10);
        QVERIFY(saved[descriptor] >= 10);
    }
    // From here until the three are back, Qt Test must not write anything.
    for (int descriptor = 0; descriptor < 3; ++descriptor)
        if (closed.at(descriptor) == 'c')
            ::close(descriptor);
    StandardStreams::openClosed();
    QByteArray after[3];
    for (int descriptor = 0; descriptor < 3; ++descriptor)
        after[descriptor] = describe(descriptor);
    const int next = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ::close(next);
    for (int descriptor = 0; descriptor < 3; ++descriptor) {
        ::dup2(saved[descriptor], descriptor);
        ::close(saved[descriptor]);
    }

    QVERIFY2(next > 2, QByteArray::number(next).constData());
    for (int descriptor = 0; descriptor < 3; ++descriptor) {
        const QByteArray expected = closed.at(descriptor) != 'c' ? before[descriptor]
                                    : descriptor == 0           ? QByteArray("/dev/null r")
                                                                : QByteArray("/dev/null w");
        QCOMPARE(after[descriptor], expected);
    }
}

QTEST_GUILESS_MAIN(TestStandardStreams)
#include "tst_standardstreams.moc"
