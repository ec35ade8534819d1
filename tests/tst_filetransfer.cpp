#include "filetransfer.h"
#include "watchdog.h"
#include "testpaths.h"
#include "uploaderrun.h"

#include <QtTest>

class TestFileTransfer : public QObject
{
    Q_OBJECT

private slots:
    void slotsBySignature();
    void metaCast();
    void progressReports_data();
    void progressReports();
    void timeZoneOffset_data();
    void timeZoneOffset();
};

void TestFileTransfer::slotsBySignature()
{
    const QMetaObject &meta = FileTransfer::staticMetaObject;
    QCOMPARE(meta.className(), "FileTransfer");
    QCOMPARE(meta.superClass(), &QObject::staticMetaObject);
    const char *const signatures[] = { "showProgress(qint64,qint64)", "showProgress(qint64)", "showProgress()",
                                       "httpPostDataReply()" };
    for (int i = 0; i < 4; ++i) {
        const int index = meta.indexOfSlot(signatures[i]);
        QCOMPARE(index, meta.methodOffset() + i);
        QCOMPARE(meta.method(index).access(), QMetaMethod::Public);
        QCOMPARE(meta.method(index).methodType(), QMetaMethod::Slot);
    }
    QCOMPARE(meta.methodCount(), meta.methodOffset() + 4);
    QCOMPARE(meta.method(meta.methodOffset()).parameterNames(), QList<QByteArray>() << "bytes_sent" << "bytes_total");
}

void TestFileTransfer::metaCast()
{
    Watchdog watchdog;
    FileTransfer transfer(&watchdog);
    QCOMPARE(transfer.qt_metacast("FileTransfer"), static_cast<void *>(&transfer));
    QCOMPARE(transfer.qt_metacast(nullptr), nullptr);
    QCOMPARE(transfer.qt_metacast("QObject"), static_cast<void *>(static_cast<QObject *>(&transfer)));
    QCOMPARE(transfer.qt_metacast("FileTransferX"), nullptr);
    QCOMPARE(transfer.qt_metacast("FileTrans"), nullptr);
}

// Each row runs in a fresh process: the highest percentage shown is process-wide.
void TestFileTransfer::progressReports_data()
{
    QTest::addColumn<QStringList>("reports");
    QTest::addColumn<QList<int>>("shown");

    auto reports = [](const char *text) { return QString::fromLatin1(text).split(QLatin1Char(' ')); };
    QTest::newRow("zero and negative are silent") << reports("0/1000 500/0 500/-1 -5/10") << QList<int>();
    QTest::newRow("25, 50, 100") << reports("25/100 50/100 100/100") << QList<int>{ 50, 100 };
    QTest::newRow("repeat shows once") << reports("10/100 10/100") << QList<int>{ 10 };
    QTest::newRow("lower changes nothing") << reports("30/100 20/100 30/100") << QList<int>{ 30 };
    QTest::newRow("step over a multiple") << reports("19/100 21/100 20/100 30/100") << QList<int>{ 30 };
    QTest::newRow("truncation") << reports("1/3 2/3 999/1000 3/3") << QList<int>{ 100 };
    QTest::newRow("above the total") << reports("3/2 100/100") << QList<int>{ 150 };
    QTest::newRow("every step") << reports("1/10 2/10 3/10 4/10 5/10 6/10 7/10 8/10 9/10 10/10")
                                << QList<int>{ 10, 20, 30, 40, 50, 60, 70, 80, 90, 100 };
    QTest::newRow("no arguments does nothing") << reports("10/100 - 20/100") << QList<int>{ 10, 20 };
    QTest::newRow("one argument means a total of 1") << reports("40/100 1 100/100") << QList<int>{ 40, 100 };
    QTest::newRow("huge counts do not overflow")
        << reports("9223372036854775807/9223372036854775807") << QList<int>{ 100 };
}

void TestFileTransfer::progressReports()
{
    QFETCH(QStringList, reports);
    QFETCH(QList<int>, shown);
    const UploaderRun run = UploaderRun::run(QStringList() << QStringLiteral("progress") << reports,
                                             UploaderRun::defaultEnvironment(), QStringLiteral(PROBE_BINARY));
    QByteArray expected;
    for (int percent : shown)
        expected += " >> Progress:  " + QByteArray::number(percent) + " \n";
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.errorOutput, expected);
}

void TestFileTransfer::timeZoneOffset_data()
{
    QTest::addColumn<QString>("zone");
    QTest::addColumn<QString>("offset");
    // POSIX zone strings: the sign is west-positive, the name in brackets is free.
    QTest::newRow("UTC") << "UTC0" << "0";
    QTest::newRow("+1") << "<+01>-1" << "+1";
    QTest::newRow("+14") << "<+14>-14" << "+14";
    QTest::newRow("-5") << "<-05>5" << "-5";
    QTest::newRow("+5:30") << "<+0530>-5:30" << "+5";
    QTest::newRow("+5:45") << "<+0545>-5:45" << "+5";
    QTest::newRow("-3:30") << "<-0330>3:30" << "-3";
    QTest::newRow("-9:30") << "<-0930>9:30" << "-9";
}

void TestFileTransfer::timeZoneOffset()
{
    QFETCH(QString, zone);
    QFETCH(QString, offset);
    QProcessEnvironment environment = UploaderRun::defaultEnvironment();
    environment.insert(QStringLiteral("TZ"), zone);
    const UploaderRun run = UploaderRun::run(QStringList() << QStringLiteral("tz"), environment,
                                             QStringLiteral(PROBE_BINARY));
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(QString::fromLatin1(run.standardOutput.trimmed()), offset);
}

QTEST_GUILESS_MAIN(TestFileTransfer)
#include "tst_filetransfer.moc"
