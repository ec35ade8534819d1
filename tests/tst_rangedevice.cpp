#include "rangedevice.h"
#include "ratelimiter.h"
#include "testfiles.h"

#include <QtTest>

#include <zlib.h>

class TestRangeDevice : public QObject
{
    Q_OBJECT

private slots:
    void passes_data();
    void passes();
    void paced_data();
    void paced();

private:
    QTemporaryDir directory;
};

void TestRangeDevice::passes_data()
{
    QTest::addColumn<int>("allowedPasses");
    // Bytes read in each pass; a pass after the first starts with a seek back, as Qt does.
    QTest::addColumn<QList<int>>("reads");
    QTest::addColumn<qint64>("rangeEnd");
    QTest::addColumn<bool>("refused");
    QTest::addColumn<bool>("failed");
    QTest::newRow("one pass") << 1 << QList<int>{ 60 } << qint64(70) << false << false;
    QTest::newRow("second pass allowed: its bytes alone are summed") << 2 << QList<int>{ 25, 60 } << qint64(70) << false << false;
    QTest::newRow("second pass refused") << 1 << QList<int>{ 25, 60 } << qint64(70) << true << false;
    QTest::newRow("file shorter than the range") << 1 << QList<int>{ 110 } << qint64(120) << false << true;
}

void TestRangeDevice::passes()
{
    QFETCH(int, allowedPasses);
    QFETCH(QList<int>, reads);
    QFETCH(qint64, rangeEnd);
    QFETCH(bool, refused);
    QFETCH(bool, failed);
    QByteArray content(100, '\0');
    for (int i = 0; i < content.size(); ++i)
        content[i] = char(i * 7);
    const QString path = directory.filePath(QStringLiteral("range.bin"));
    QVERIFY(writeTestFile(path, content));
    RangeDevice device(RangeDevice::openRegularFile(QFile::encodeName(path).constData()), RangeDevice::Ownership::Taken, 10, rangeEnd - 10,
                       nullptr);
    device.setPassesPerAttempt(allowedPasses);
    device.setChecksumEnabled(true);
    QSignalSpy refusals(&device, &RangeDevice::resendRefused);
    QSignalSpy failures(&device, &RangeDevice::readFailed);
    QByteArray last;
    for (const int size : reads) {
        QVERIFY(device.seek(0));
        last = device.read(size);
    }
    // What the file still holds of the range came; the next read finds its end.
    if (failed)
        device.read(100);
    QCOMPARE(refusals.count(), refused ? 1 : 0);
    QCOMPARE(failures.count(), failed ? 1 : 0);
    if (refused || failed)
        return;
    QCOMPARE(last, content.mid(10, reads.last()));
    QCOMPARE(device.checksum(), quint32(crc32(0, reinterpret_cast<const Bytef *>(last.constData()), uInt(last.size()))));
}

void TestRangeDevice::paced_data()
{
    QTest::addColumn<qint64>("rate");
    QTest::addColumn<int>("size");
    // Reads that give nothing before the whole range has come.
    QTest::addColumn<int>("waits");
    QTest::newRow("a piece a time, each after a wait") << qint64(1000) << 3000 << 3;
    QTest::newRow("less than a piece, one wait") << qint64(100000) << 500 << 1;
}

// A read that must wait gives nothing, and readyRead says when to read again.
void TestRangeDevice::paced()
{
    QFETCH(qint64, rate);
    QFETCH(int, size);
    QFETCH(int, waits);
    const QByteArray content(size, 'x');
    const QString path = directory.filePath(QStringLiteral("paced.bin"));
    QVERIFY(writeTestFile(path, content));
    RangeDevice device(RangeDevice::openRegularFile(QFile::encodeName(path).constData()), RangeDevice::Ownership::Taken, 0, size, nullptr);
    RateLimiter limiter(rate);
    device.setRateLimiter(&limiter);
    QSignalSpy ready(&device, &QIODevice::readyRead);
    QByteArray received;
    int empty = 0;
    while (received.size() < size && empty <= waits) {
        const QByteArray piece = device.read(size);
        received += piece;
        if (piece.isEmpty()) {
            ++empty;
            QVERIFY(ready.wait(10000));
        }
    }
    QCOMPARE(received, content);
    QCOMPARE(empty, waits);
}

QTEST_GUILESS_MAIN(TestRangeDevice)
#include "tst_rangedevice.moc"
