#include "receiverprocess.h"
#include "scopedenvironment.h"
#include "testfiles.h"
#include "testpaths.h"
#include "uploaderrun.h"

#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

namespace {

QByteArray sizeLines(const QString &path, qint64 fileSize, qint64 chunkSize)
{
    return " >> File size = " + QByteArray::number(fileSize) + " Byte \n"
           " >> Reading File:  \"" + QFileInfo(path).absoluteFilePath().toUtf8() + "\" \n"
           " >> Chunk size = " + QByteArray::number(chunkSize) + " Byte \n";
}

QStringList arguments(const QString &url, const QString &path, qint64 start, qint64 end)
{
    return QStringList() << url << QStringLiteral("secret-t\u00f8ken x") << path << QString::number(start) << QString::number(end)
                         << QStringLiteral("127.0.0.1") << QStringLiteral("9") << QStringLiteral("false");
}

} // namespace

class TestUpload : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void requestOnTheWire_data();
    void requestOnTheWire();
    void commandLineErrors_data();
    void commandLineErrors();
    void fileErrors_data();
    void fileErrors();

private:
    QTemporaryDir directory;
    QString binaryPath;
    QByteArray binaryContent;
};

void TestUpload::initTestCase()
{
    QVERIFY(directory.isValid());
    // Every byte value, zero bytes among them, and a non-ASCII name with spaces.
    for (int round = 0; round < 40; ++round)
        for (int value = 0; value < 256; ++value)
            binaryContent += char((value * (round + 1)) & 0xff);
    binaryPath = directory.filePath(QStringLiteral("données à envoyer.bin"));
    QVERIFY(writeTestFile(binaryPath, binaryContent));
}

void TestUpload::requestOnTheWire_data()
{
    QTest::addColumn<qint64>("start");
    QTest::addColumn<qint64>("end");
    const qint64 size = binaryContent.size();
    QTest::newRow("start of the file") << qint64(0) << qint64(1000);
    QTest::newRow("middle") << qint64(100) << qint64(200);
    QTest::newRow("up to the end") << size - 777 << size;
    QTest::newRow("whole file") << qint64(0) << size;
    QTest::newRow("empty range") << qint64(300) << qint64(300);
    QTest::newRow("empty range at the end") << size << size;
}

void TestUpload::requestOnTheWire()
{
    QFETCH(qint64, start);
    QFETCH(qint64, end);
    ReceiverProcess receiver;
    QVERIFY(receiver.isListening());

    const UploaderRun run = UploaderRun::run(arguments(receiver.url(), binaryPath, start, end));
    QVERIFY2(run.exitCode == 0, run.errorOutput.constData());
    QCOMPARE(receiver.storedCount(), 1);
    QCOMPARE(receiver.storedBody(1), binaryContent.mid(int(start), int(end - start)));

    const QList<QByteArray> lines = receiver.storedHeaderLines(1);
    QCOMPARE(lines.value(0), QByteArray("POST /upload HTTP/1.1"));
    // The token's bytes reach the header unchanged, UTF-8 and tab included.
    const QList<QByteArray> ours = { "X_ZORV_API_TOKEN: secret-t\xc3\xb8ken x", "X_ZORV_LOCAL_TS_OFFSET: 0",
                                     "USER-AGENT: tovanel/5.0.0", "Accept-Encoding: gzip,deflate",
                                     "Content-Type: application/octet-stream",
                                     "Connection: Keep-Alive", "Keep-Alive: timeout=20000" };
    int previous = -1;
    for (const QByteArray &header : ours) {
        const int index = lines.indexOf(header);
        QVERIFY2(index > previous, header.constData());
        previous = index;
    }
    QVERIFY(lines.contains("Content-Length: " + QByteArray::number(end - start)));
    const auto count = [&lines](const QByteArray &name) {
        return std::count_if(lines.cbegin(), lines.cend(), [&name](const QByteArray &line) { return line.startsWith(name); });
    };
    QCOMPARE(count("Content-Length:"), 1);
    QCOMPARE(count("Accept-Encoding:"), 1);

    const QByteArray head = sizeLines(binaryPath, binaryContent.size(), end - start)
                            + " >> Uploading Start... \n >> Successful Upload. \n";
    QVERIFY2(run.errorOutput.startsWith(head), run.errorOutput.constData());
    QVERIFY(run.errorOutput.endsWith(" >> Bye... \n"));
}

void TestUpload::commandLineErrors_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("environment");
    QTest::addColumn<QByteArray>("message");

    const QStringList good = arguments(QStringLiteral("http://127.0.0.1:9/"), QStringLiteral("f"), 0, 1);
    QTest::newRow("no arguments") << QStringList() << QStringList()
        << QByteArray(" >> Usage: uploader url api_token file_path start_offset end_offset proxy_host proxy_port use_proxy \n");
    QTest::newRow("idle time-out not a number") << good << QStringList{ QStringLiteral("UPLOADER_IDLE_TIMEOUT=2m") }
                                                << QByteArray(" >> Invalid UPLOADER_IDLE_TIMEOUT: \"2m\" \n");
    QTest::newRow("run time not a number") << good << QStringList{ QStringLiteral("UPLOADER_MAX_TIME=1h") }
                                           << QByteArray(" >> Invalid UPLOADER_MAX_TIME: \"1h\" \n");
    QTest::newRow("retries over 100") << good << QStringList{ QStringLiteral("UPLOADER_RETRIES=101") }
                                      << QByteArray(" >> Invalid UPLOADER_RETRIES: \"101\" \n");
    QStringList tokenFromEnvironment = good;
    tokenFromEnvironment[1] = QString();
    QTest::newRow("token from the environment, with a line feed")
        << tokenFromEnvironment << QStringList{ QStringLiteral("UPLOADER_API_TOKEN=a\nX-Injected: 1") } << QByteArray(" >> Invalid api_token. \n");
    QTest::newRow("https settings") << QStringList(good).replaceInStrings(QStringLiteral("http:"), QStringLiteral("https:"))
                                    << QStringList{ QStringLiteral("UPLOADER_CA_BUNDLE=/nonexistent") } << QByteArray(" >> Invalid UPLOADER_CA_BUNDLE: \"/nonexistent\" \n");
    const QStringList input = arguments(QStringLiteral("http://127.0.0.1:9/"), QStringLiteral("FILE"), 0, 1);
    const QStringList resultIsInput = { QStringLiteral("UPLOADER_RESULT=FILE") };
    QTest::newRow("result names the input") << input << resultIsInput << QByteArray(" >> UPLOADER_RESULT names the input file: \"FILE\" \n");
    QTest::newRow("result names the input, too few arguments") << QStringList(input.mid(0, 3)) << resultIsInput
        << QByteArray(" >> Usage: uploader url api_token file_path start_offset end_offset proxy_host proxy_port use_proxy \n");
    // SH: shell commands before the run; PIPE: a FIFO whose reader has gone once it is opened.
    const QString maxTime = QStringLiteral("UPLOADER_MAX_TIME=1h");
    const QByteArray maxTimeLine = " >> Invalid UPLOADER_MAX_TIME: \"1h\" \n";
    QTest::newRow("result to a standard output nobody reads")
        << good << QStringList{ maxTime, QStringLiteral("UPLOADER_RESULT=-"), QStringLiteral("SH=exec 4<>PIPE >PIPE 4<&-;") }
        << maxTimeLine + " >> Cannot write UPLOADER_RESULT: \"-\" \n";
    QTest::newRow("result to a closed standard output") << good << QStringList{ QStringLiteral("UPLOADER_RESULT=-"), QStringLiteral("SH=exec >&-;") }
                                                         << QByteArray(" >> Cannot write UPLOADER_RESULT: \"-\" \n");
    QTest::newRow("result to a closed standard output's name") << good << QStringList{ QStringLiteral("UPLOADER_RESULT=/dev/stdout"), QStringLiteral("SH=exec >&-;") } << QByteArray(" >> Cannot write UPLOADER_RESULT: \"/dev/stdout\" \n");
#ifndef UPLOADER_SANITIZE
    // The sanitizers' own frames overflow a small stack before the limits are raised.
    // Below a few pages the loader alone may not fit beside a large environment.
    QTest::newRow("result still to be created, under a soft stack of 64 kB")
        << good << QStringList{ maxTime, QStringLiteral("UPLOADER_RESULT=") + directory.filePath(QStringLiteral("new.json")), QStringLiteral("SH=ulimit -S -s 64 &&") } << maxTimeLine;
#endif
}

// Nothing is read or sent, and the status tells a command-line error; the
// messages of each argument are the unit table's. The previous run's result
// never survives, and a result that names the input leaves the input whole.
void TestUpload::commandLineErrors()
{
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, environment);
    QFETCH(QByteArray, message);
    const QString result = directory.filePath(QStringLiteral("result.json"));
    const QString pipe = directory.filePath(QStringLiteral("gone.fifo"));
    QFile::remove(pipe);
    QCOMPARE(::mkfifo(QFile::encodeName(pipe).constData(), 0600), 0);
    QProcessEnvironment variables = UploaderRun::defaultEnvironment();
    variables.insert(QStringLiteral("UPLOADER_RESULT"), result);
    variables = ScopedEnvironment::with(variables, environment.replaceInStrings(QStringLiteral("FILE"), binaryPath));
    const QString resultPath = variables.value(QStringLiteral("UPLOADER_RESULT"));
    QFile::remove(directory.filePath(QStringLiteral("new.json")));
    if (resultPath == result)
        QVERIFY(writeTestFile(resultPath, "{\"exit\":0}\n"));
    const QString shell = variables.value(QStringLiteral("SH")).replace(QLatin1String("PIPE"), pipe);
    variables.remove(QStringLiteral("SH"));
    arguments.replaceInStrings(QStringLiteral("FILE"), binaryPath);
    const UploaderRun run = shell.isEmpty() ? UploaderRun::run(arguments, variables)
                                            : UploaderRun::run(QStringList{ QStringLiteral("-c"), shell + QStringLiteral(" exec \"$0\" \"$@\""),
                                                                            QStringLiteral(UPLOADER_BINARY) } + arguments,
                                                               variables, QStringLiteral("/bin/sh"));
    QCOMPARE(run.errorOutput, message.replace("FILE", binaryPath.toUtf8()));
    QCOMPARE(run.exitCode, 2);
    if (resultPath == QLatin1String("-") || resultPath.startsWith(QLatin1String("/dev/")))
        return;
    QFile written(resultPath);
    QVERIFY(written.open(QIODevice::ReadOnly));
    if (written.fileName() == binaryPath) {
        QCOMPARE(written.readAll(), binaryContent);
        return;
    }
    const QJsonObject object = QJsonDocument::fromJson(written.readAll()).object();
    QCOMPARE(object.value(QStringLiteral("exit")).toInt(), 2);
    QCOMPARE(object.value(QStringLiteral("message")).toString().toUtf8(), message.mid(4, message.size() - 6));
}

void TestUpload::fileErrors_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<qint64>("start");
    QTest::addColumn<qint64>("end");
    QTest::addColumn<QByteArray>("message");

    const qint64 size = binaryContent.size();
    const QByteArray cannotOpen = " >> Cannot Open input file. \n";
    const QString fifo = directory.filePath(QStringLiteral("fifo"));
    QVERIFY(QFile::exists(fifo) || mkfifo(QFile::encodeName(fifo).constData(), 0600) == 0);

    QTest::newRow("missing file") << directory.filePath(QStringLiteral("missing")) << qint64(0) << qint64(10) << cannotOpen;
    QTest::newRow("directory") << directory.path() << qint64(0) << qint64(0) << cannotOpen;
    QTest::newRow("fifo") << fifo << qint64(0) << qint64(10) << cannotOpen;
    QTest::newRow("negative start") << binaryPath << qint64(-5) << qint64(10)
                                    << " >> Invalid range: -5 - 10 of " + QByteArray::number(size) + " Byte \n";
    QTest::newRow("end below start") << binaryPath << qint64(10) << qint64(9)
                                     << " >> Invalid range: 10 - 9 of " + QByteArray::number(size) + " Byte \n";
    QTest::newRow("end past the file") << binaryPath << qint64(0) << size + 1
                                       << " >> Invalid range: 0 - " + QByteArray::number(size + 1) + " of "
                                              + QByteArray::number(size) + " Byte \n";
    QTest::newRow("start past the file") << binaryPath << size + 1 << size + 1
                                         << " >> Invalid range: " + QByteArray::number(size + 1) + " - "
                                                + QByteArray::number(size + 1) + " of " + QByteArray::number(size) + " Byte \n";
    QTest::newRow("64-bit extremes") << binaryPath << std::numeric_limits<qint64>::min() << std::numeric_limits<qint64>::max()
                                     << " >> Invalid range: -9223372036854775808 - 9223372036854775807 of "
                                            + QByteArray::number(size) + " Byte \n";
}

// Nothing is posted, and the status tells a failed upload.
void TestUpload::fileErrors()
{
    QFETCH(QString, path);
    QFETCH(qint64, start);
    QFETCH(qint64, end);
    QFETCH(QByteArray, message);
    ReceiverProcess receiver;
    QVERIFY(receiver.isListening());

    const UploaderRun run = UploaderRun::run(arguments(receiver.url(), path, start, end));
    QVERIFY(run.finished);
    QCOMPARE(run.errorOutput,
             sizeLines(path, QFileInfo(path).size(), qint64(quint64(end) - quint64(start))) + message + " >> Failed Upload. \n");
    QCOMPARE(run.exitCode, 1);
    QCOMPARE(receiver.storedCount(), 0);
}

QTEST_GUILESS_MAIN(TestUpload)
#include "tst_upload.moc"
