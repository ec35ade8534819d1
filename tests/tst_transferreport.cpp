#include "transferreport.h"
#include "messagecapture.h"

#include <QtTest>

class TestTransferReport : public QObject
{
    Q_OBJECT

private slots:
    void print_data();
    void print();
};

void TestTransferReport::print_data()
{
    QTest::addColumn<qint64>("milliseconds");
    QTest::addColumn<qint64>("bytes");
    QTest::addColumn<QString>("seconds");
    QTest::addColumn<QString>("speed");

    QTest::newRow("2.5 s for a megabyte") << qint64(2500) << qint64(1000000) << "2.5" << "3.2";
    QTest::newRow("six significant digits") << qint64(123456) << qint64(1000000) << "123.456" << "0.0648004";
    QTest::newRow("exponent form") << qint64(1000000) << qint64(1) << "1000" << "8e-09";
    QTest::newRow("large speed") << qint64(1) << qint64(2000000000) << "0.001" << "1.6e+07";
    QTest::newRow("no time") << qint64(0) << qint64(5) << "0" << "inf";
    QTest::newRow("no time, no bytes") << qint64(0) << qint64(0) << "0" << "nan";
}

void TestTransferReport::print()
{
    QFETCH(qint64, milliseconds);
    QFETCH(qint64, bytes);
    QFETCH(QString, seconds);
    QFETCH(QString, speed);
    MessageCapture capture;
    TransferReport::print(milliseconds, bytes);
    QCOMPARE(capture.lines(), QStringList() << QString() << QStringLiteral(" >> The uploading process took %1 Seconds ").arg(seconds)
                                          << QStringLiteral(" >> The uploading Speed is %1 Mb/Sec ").arg(speed)
                                          << QStringLiteral(" >> Bye... "));
}

QTEST_GUILESS_MAIN(TestTransferReport)
#include "tst_transferreport.moc"
