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

QTEST_GUILESS_MAIN(TestProgress)
#include "tst_progress.moc"
