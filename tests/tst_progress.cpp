#include "progress.h"
#include "messagecapture.h"

#include <QtTest>

// uploader's steps are checked through its slot in tst_filetransfer.
class TestProgress : public QObject
{
    Q_OBJECT

private slots:
    void passed_data();
    void passed();
    void statusLine_data();
    void statusLine();
};

void TestProgress::passed_data()
{
    QTest::addColumn<QList<qint64>>("done");
    QTest::addColumn<qint64>("total");
    QTest::addColumn<QStringList>("steps");

    QTest::newRow("each ten passed once") << QList<qint64>{ 5, 12, 19, 20, 35, 100 } << qint64(100)
                                          << QStringList{ QStringLiteral("10"), QStringLiteral("20"), QStringLiteral("30"),
                                                          QStringLiteral("100") };
    QTest::newRow("a jump shows the step reached") << QList<qint64>{ 99, 100 } << qint64(100)
                                                   << QStringList{ QStringLiteral("90"), QStringLiteral("100") };
    QTest::newRow("nothing below ten") << QList<qint64>{ 0, 9 } << qint64(100) << QStringList();
    QTest::newRow("going back shows nothing") << QList<qint64>{ 50, 40, 55 } << qint64(100) << QStringList{ QStringLiteral("50") };
    QTest::newRow("an empty file is whole") << QList<qint64>{ 0 } << qint64(0) << QStringList{ QStringLiteral("100") };
    QTest::newRow("past 92 PB") << QList<qint64>{ qint64(1) << 62 } << (qint64(1) << 62) << QStringList{ QStringLiteral("100") };
}

void TestProgress::passed()
{
    QFETCH(QList<qint64>, done);
    QFETCH(qint64, total);
    QFETCH(QStringList, steps);
    MessageCapture capture;
    Progress progress(Progress::Steps::Passed);
    for (const qint64 bytes : done)
        progress.update(bytes, total, 2.34);
    QStringList expected;
    for (const QString &step : steps)
        expected << QStringLiteral(" >> Progress: %1 % of %2 Byte, 2.3 MB/s ").arg(step).arg(total);
    QCOMPARE(capture.lines(), expected);
}

void TestProgress::statusLine_data()
{
    QTest::addColumn<qint64>("done");
    QTest::addColumn<qint64>("total");
    QTest::addColumn<double>("rate");
    QTest::addColumn<int>("retrying");
    QTest::addColumn<int>("width");
    QTest::addColumn<QByteArray>("line");

    const qint64 mebibyte = 1 << 20;
    const double rate = 5.2 * mebibyte;
    QTest::newRow("80 columns: a bar beside every figure") << 27 * mebibyte << 64 * mebibyte << rate << 0 << 80 << QByteArray(" >> 42 % [####------] 27.0 of 64.0 MiB, 5.2 MiB/s, 0:00:07 left, 3 in flight");
    QTest::newRow("80 columns, a chunk to retry: the bar goes first") << 27 * mebibyte << 64 * mebibyte << rate << 1 << 80 << QByteArray(" >> 42 % 27.0 of 64.0 MiB, 5.2 MiB/s, 0:00:07 left, 3 in flight, 1 to retry");
    QTest::newRow("200 columns: the bar's longest") << 27 * mebibyte << 64 * mebibyte << rate << 1 << 200 << QByteArray(" >> 42 % [################------------------------] 27.0 of 64.0 MiB, 5.2 MiB/s, 0:00:07 left, 3 in flight, 1 to retry");
    QTest::newRow("60 columns: the last figures go") << 27 * mebibyte << 64 * mebibyte << rate << 1 << 60 << QByteArray(" >> 42 % 27.0 of 64.0 MiB, 5.2 MiB/s, 0:00:07 left");
    QTest::newRow("20 columns: the percentage and the bytes done") << 27 * mebibyte << 64 * mebibyte << rate << 1 << 20 << QByteArray(" >> 42 % 27.0 MiB");
    QTest::newRow("8 columns: cut") << 27 * mebibyte << 64 * mebibyte << rate << 1 << 8 << QByteArray(" >> 42 ");
    QTest::newRow("a stream: no percentage, bar or time left") << 27 * mebibyte << qint64(-1) << rate << 0 << 80 << QByteArray(" >> 27.0 MiB, 5.2 MiB/s, 3 in flight");
    QTest::newRow("hours left, GiB") << 1536 * mebibyte << 100000 * mebibyte << rate << 0 << 80 << QByteArray(" >> 1 % [----------] 1.5 of 97.7 GiB, 5.2 MiB/s, 5:15:35 left, 3 in flight");
    QTest::newRow("a byte a week: no time left") << qint64(1) << (qint64(1) << 50) << 1.6e-6 << 0 << 80 << QByteArray(" >> 0 % [------------------------------] 1 B of 1.0 PiB, 0 B/s, 3 in flight");
    QTest::newRow("nothing sent yet: no time left, bytes") << qint64(0) << qint64(1000) << 0.0 << 0 << 80 << QByteArray(" >> 0 % [------------------------------] 0 of 1000 B, 0 B/s, 3 in flight");
    QTest::newRow("1023.96 KiB is 1.0 MiB") << qint64(1048535) << qint64(1048576) << 1023.0 << 0 << 80 << QByteArray(" >> 99 % [#########-] 1.0 of 1.0 MiB, 1023 B/s, 0:00:00 left, 3 in flight");
    QTest::newRow("an empty file is whole") << qint64(0) << qint64(0) << 0.0 << 0 << 80 << QByteArray(" >> 100 % [##############################] 0 of 0 B, 0 B/s, 3 in flight");
}

void TestProgress::statusLine()
{
    QFETCH(qint64, done);
    QFETCH(qint64, total);
    QFETCH(double, rate);
    QFETCH(int, retrying);
    QFETCH(int, width);
    QFETCH(QByteArray, line);
    const QByteArray shown = Progress::statusLine(Progress::Figures{ done, total, rate, 3, retrying }, width);
    QVERIFY2(shown.size() < width, shown.constData());
    QCOMPARE(shown, line);
}

QTEST_GUILESS_MAIN(TestProgress)
#include "tst_progress.moc"
