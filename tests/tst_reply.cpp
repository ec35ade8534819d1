#include "receiverprocess.h"
#include "refusingport.h"
#include "testfiles.h"
#include "uploaderrun.h"

#include <QtTest>

namespace {

// The time and speed depend on the clock; their layout is checked elsewhere.
// Lines, so that a failure names the first one that differs.
QList<QByteArray> withoutFigures(const QByteArray &output)
{
    QString text = QString::fromUtf8(output);
    text.replace(QRegularExpression(QStringLiteral("took [^ \n]+ Seconds")), QStringLiteral("took T Seconds"));
    text.replace(QRegularExpression(QStringLiteral("Speed is [^ \n]+ Mb/Sec")), QStringLiteral("Speed is S Mb/Sec"));
    return text.toUtf8().split('\n');
}

} // namespace

class TestReply : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void report_data();
    void report();
    void unreachable_data();
    void unreachable();

private:
    QTemporaryDir directory;
    QString path;
    QByteArray head;
    RefusingPort refusing;
};

void TestReply::initTestCase()
{
    QVERIFY(directory.isValid());
    path = directory.filePath(QStringLiteral("chunk.bin"));
    QVERIFY(writeTestFile(path, "0123456789abcdefghij"));
    head = " >> File size = 20 Byte \n"
           " >> Reading File:  \"" + path.toUtf8() + "\" \n"
           " >> Chunk size = 10 Byte \n"
           " >> Uploading Start... \n"
           " >> Successful Upload. \n";
}

void TestReply::report_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<int>("exitCode");

    const QByteArray json = " (QPair(\"Content-Type\",\"application/json\") ,  ";
    const QByteArray done = "\n >> The uploading process took T Seconds \n >> The uploading Speed is S Mb/Sec \n >> Bye... \n";
    auto options = [](const char *text) { return QString::fromUtf8(text).split(QLatin1Char('|')); };

    QTest::newRow("JSON object, status_code 201") << QStringList()
        << "\"{\"status_code\":201,\"received\":10}\" \n >> status_code =  201 \n >> reply header pairs: " + json
               + "QPair(\"Content-Length\",\"33\") )  \n" + done << 0;
    QTest::newRow("status_code as a string") << options("--body|{\"status_code\":\"404\"}")
        << "\"{\"status_code\":\"404\"}\" \n >> status_code =  404 \n >> reply header pairs: " + json
               + "QPair(\"Content-Length\",\"21\") )  \n" + done << 0;
    // Not an int: printed as 0, as a missing member is, never as another number.
    QTest::newRow("status_code beyond an int") << options("--body|{\"status_code\":4294967497}")
        << "\"{\"status_code\":4294967497}\" \n >> status_code =  0 \n >> reply header pairs: " + json
               + "QPair(\"Content-Length\",\"26\") )  \n" + done << 0;
    QTest::newRow("status_code with a fraction") << options("--body|{\"status_code\":201.9}")
        << "\"{\"status_code\":201.9}\" \n >> status_code =  0 \n >> reply header pairs: " + json
               + "QPair(\"Content-Length\",\"21\") )  \n" + done << 0;
    QTest::newRow("array") << options("--body|[{\"status_code\":201}]")
        << "\"[{\"status_code\":201}]\" \n >> status_code =  0 \n >> reply header pairs: " + json
               + "QPair(\"Content-Length\",\"21\") )  \n" + done << 0;
    QTest::newRow("no status_code") << options("--body|{\"Status_Code\":201}")
        << "\"{\"Status_Code\":201}\" \n >> status_code =  0 \n >> reply header pairs: " + json
               + "QPair(\"Content-Length\",\"19\") )  \n" + done << 0;
    QTest::newRow("malformed JSON") << options("--body|{\"status_code\":")
        << "\"{\"status_code\":\" \n >> status_code =  0 \n >> reply header pairs: " + json
               + "QPair(\"Content-Length\",\"15\") )  \n" + done << 0;
    QTest::newRow("empty body") << options("--body|")
        << "\"\" \n >> Reply is Empty. \n >> reply header pairs: " + json + "QPair(\"Content-Length\",\"0\") )  \n" + done << 0;
    QTest::newRow("UTF-8 body") << options("--body|{\"status_code\":7,\"name\":\"café ✓\"}")
        << QByteArray("\"{\"status_code\":7,\"name\":\"café ✓\"}\" \n >> status_code =  7 \n >> reply header pairs: ") + json
               + "QPair(\"Content-Length\",\"36\") )  \n" + done << 0;
    QTest::newRow("gzip body") << options("--encoding|gzip|--body|{\"status_code\":202}")
        << "\"{\"status_code\":202}\" \n >> status_code =  202 \n >> reply header pairs: " + json
               + "QPair(\"Content-Encoding\",\"gzip\") ,  QPair(\"Content-Length\",\"39\") )  \n" + done << 0;
    QTest::newRow("one header") << options("--bare")
        << "\"{\"status_code\":201,\"received\":10}\" \n >> status_code =  201 \n >> reply header pairs:  "
               "(QPair(\"Content-Length\",\"33\") )  \n" + done << 0;
    QTest::newRow("several headers") << options("--header|X-Request-Id: 7|--header|X-Note: a \"quoted\" word")
        << "\"{\"status_code\":201,\"received\":10}\" \n >> status_code =  201 \n >> reply header pairs: " + json
               + "QPair(\"X-Request-Id\",\"7\") ,  QPair(\"X-Note\",\"a \"quoted\" word\") ,  QPair(\"Content-Length\",\"33\") )  \n"
               + done << 0;
    // The console line ends at the zero byte; the JSON text ends there too.
    const QString zeroFile = directory.filePath(QStringLiteral("zero.json"));
    QVERIFY(writeTestFile(zeroFile, QByteArray("{\"status_code\":7}\0{\"x\":1}", 25)));
    QTest::newRow("zero byte in the body") << (QStringList() << QStringLiteral("--body-file") << zeroFile)
        << "\"{\"status_code\":7}\n >> status_code =  7 \n >> reply header pairs: " + json
               + "QPair(\"Content-Length\",\"25\") )  \n" + done << 0;
    QTest::newRow("HTTP 500") << options("--status|500|--reason|Internal Server Error")
        << QByteArray(" >> Reply Error #: 401 \n >> Exit with error! \n") << 75;
}

void TestReply::report()
{
    QFETCH(QStringList, options);
    QFETCH(QByteArray, reply);
    QFETCH(int, exitCode);
    ReceiverProcess receiver(options);
    QVERIFY(receiver.isListening());

    const UploaderRun run = UploaderRun::run(QStringList() << receiver.url() << QStringLiteral("t") << path
                                                           << QStringLiteral("5") << QStringLiteral("15")
                                                           << QString() << QString() << QString());
    QCOMPARE(withoutFigures(run.errorOutput), QByteArray(head + " >> Progress:  100 \n" + reply).split('\n'));
    QCOMPARE(run.exitCode, exitCode);
    QCOMPARE(receiver.storedBody(1), QByteArray("56789abcde"));
}

void TestReply::unreachable_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<QByteArray>("output");
    QTest::addColumn<int>("exitCode");
    QVERIFY(refusing.port() != 0);
    QTest::newRow("refused connection") << QStringLiteral("http://127.0.0.1:%1/upload").arg(refusing.port())
                                        << head + " >> Reply Error #: 1 \n >> Exit with error! \n" << 75;
}

void TestReply::unreachable()
{
    QFETCH(QString, url);
    QFETCH(QByteArray, output);
    QFETCH(int, exitCode);
    const UploaderRun run = UploaderRun::run(QStringList() << url << QStringLiteral("t") << path << QStringLiteral("5")
                                                           << QStringLiteral("15") << QString() << QString() << QString());
    QCOMPARE(run.errorOutput, output);
    QCOMPARE(run.exitCode, exitCode);
}

QTEST_GUILESS_MAIN(TestReply)
#include "tst_reply.moc"
