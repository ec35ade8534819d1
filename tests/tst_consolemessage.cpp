#include "consolemessage.h"
#include "messagecapture.h"

#include <QtTest>

class TestConsoleMessage : public QObject
{
    Q_OBJECT

private slots:
    void init() { capture.reset(new MessageCapture); }
    void cleanup() { capture.reset(); }

    void headerPairs_data();
    void headerPairs();

private:
    QScopedPointer<MessageCapture> capture;
};

void TestConsoleMessage::headerPairs_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<QString>("expected");

    QTest::newRow("none") << 0 << QStringLiteral(" >> reply header pairs:  () ");
    QTest::newRow("one") << 1 << QStringLiteral(" >> reply header pairs:  (QPair(\"N0\",\"V0\") )  ");
    QTest::newRow("three")
        << 3 << QStringLiteral(" >> reply header pairs:  (QPair(\"N0\",\"V0\") ,  QPair(\"N1\",\"V1\") ,  QPair(\"N2\",\"V2\") )  ");
}

void TestConsoleMessage::headerPairs()
{
    QFETCH(int, count);
    QFETCH(QString, expected);
    QList<QPair<QByteArray, QByteArray>> pairs;
    for (int i = 0; i < count; ++i)
        pairs << qMakePair("N" + QByteArray::number(i), "V" + QByteArray::number(i));
    ConsoleMessage() << " >> reply header pairs: " << pairs;
    QCOMPARE(capture->lines(), QStringList() << expected);
}

QTEST_GUILESS_MAIN(TestConsoleMessage)
#include "tst_consolemessage.moc"
