#include "receiverprocess.h"
#include "testfiles.h"
#include "testpaths.h"
#include "uploaderrun.h"
#include "watchdog.h"

#include <QtTest>

#include <sys/stat.h>

class TestWatchdog : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void endings_data();
    void endings();

private:
    RandomFile testFile;
};

void TestWatchdog::initTestCase()
{
    QVERIFY(testFile.create(8 << 20, 8, QStringLiteral("chunk.bin")));
}

void TestWatchdog::endings_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("lastLines");

    const QStringList hold = { QStringLiteral("--fault"), QStringLiteral("hold") };
    QTest::newRow("program's thread held during the attempt")
        << "block" << hold << 75 << QByteArray(" >> Timed out: no data moved for 1 seconds \n >> Exit with error! \n");
    QTest::newRow("memory past the bound")
        << "grow" << hold << 1
        << " >> Reply too large: memory in use over " + QByteArray::number(Watchdog::memoryBound) + " Byte \n >> Exit with error! \n";
    // Linux carries the peak of the image that started the program into getrusage's figure.
    QTest::newRow("started by a process that once held 320 MiB")
        << "parent" << QStringList{ QStringLiteral("--fault"), QStringLiteral("slow-read") } << 0 << QByteArray(" >> Bye... \n");
    // 536870912000 ms is 0 in a timer's 32 bits: the run used to end at once.
    QTest::newRow("run time beyond a timer's reach") << "long" << QStringList() << 0 << QByteArray(" >> Bye... \n");
    QTest::newRow("result FIFO that no one reads, within the run time")
        << "fifo" << QStringList() << 75 << QByteArray(" >> Timed out: the run took over 1 seconds \n");
    // Its chunk lines fill a console of one page that is never read: the program's thread waits on it.
    QTest::newRow("uploader-file's thread held past --max-time") << "file" << QStringList() << 75 << QByteArray();
    // The console takes the 2 MiB reply only when its reader starts, long after the pipe filled.
    QTest::newRow("answered, console read late")
        << "reader" << QStringList{ QStringLiteral("--reply-size"), QStringLiteral("2097152") } << 0 << QByteArray(" >> Bye... \n");
}

// Ends only an attempt that has no answer, and then writes the result first.
void TestWatchdog::endings()
{
    QFETCH(QString, how);
    QFETCH(QStringList, options);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, lastLines);
#ifdef UPLOADER_SANITIZE
    if (how == QLatin1String("grow"))
        QSKIP("The memory bound is off under AddressSanitizer.");
#endif
    ReceiverProcess receiver(options);
    QVERIFY(receiver.isListening());
    const QString result = testFile.pathOf(how + QStringLiteral(".json"));
    QProcessEnvironment environment = UploaderRun::defaultEnvironment();
    environment.insert(QStringLiteral("UPLOADER_RESULT"), result);
    environment.insert(QStringLiteral("UPLOADER_IDLE_TIMEOUT"), QStringLiteral("1"));
    const QStringList upload = { QStringLiteral(UPLOADER_BINARY), receiver.url(), QStringLiteral("t"), testFile.path(), QStringLiteral("0"),
                                 QString::number(8 << 20), QString(), QString(), QStringLiteral("false") };
    UploaderRun run;
    if (how == QLatin1String("block") || how == QLatin1String("grow")) {
        run = UploaderRun::run({ QStringLiteral("stall"), how, receiver.url(), testFile.path(), result }, environment, QStringLiteral(PROBE_BINARY));
    } else if (how == QLatin1String("long")) {
        environment.insert(QStringLiteral("UPLOADER_MAX_TIME"), QStringLiteral("536870912"));
        run = UploaderRun::run(upload.mid(1), environment);
    } else if (how == QLatin1String("fifo")) {
        QCOMPARE(::mkfifo(QFile::encodeName(result).constData(), 0600), 0);
        environment.insert(QStringLiteral("UPLOADER_MAX_TIME"), QStringLiteral("1"));
        run = UploaderRun::run(upload.mid(1), environment);
        QVERIFY2(run.exitCode == exitCode, run.errorOutput.constData());
        QCOMPARE(run.errorOutput, lastLines);
        return;
    } else if (how == QLatin1String("file")) {
        const QStringList options = { QStringLiteral(UPLOADER_FILE_BINARY), QStringLiteral("--chunk-size"), QStringLiteral("1K"),
                                      QStringLiteral("--max-time"), QStringLiteral("4"), QStringLiteral("--journal"),
                                      testFile.pathOf(QStringLiteral("journal")), receiver.url() + QStringLiteral("{index}"), testFile.path() };
        run = UploaderRun::run(QStringList{ QStringLiteral(TESTS_SOURCE_DIR "/console_one_page.py") } + options, environment,
                               QStringLiteral(PYTHON_EXECUTABLE));
        QVERIFY2(run.exitCode == exitCode, run.errorOutput.constData());
        // Its own clock could not end the run: that would have said so.
        QVERIFY2(!run.errorOutput.contains("Timed out"), run.errorOutput.constData());
        return;
    } else if (how == QLatin1String("parent")) {
        // The receiver drains megabytes of socket buffers slowly after the last byte is sent: not what this row is about.
        environment.insert(QStringLiteral("UPLOADER_IDLE_TIMEOUT"), QStringLiteral("60"));
        run = UploaderRun::run(QStringList{ QStringLiteral(TESTS_SOURCE_DIR "/large_parent.py") } + upload, environment,
                               QStringLiteral(PYTHON_EXECUTABLE));
    } else {
        // Once the console's pipe is full, it is held 2 s past the time after which the watchdog would end the run.
        const QString held = QString::number(1 + Watchdog::graceSeconds + 2);
        run = UploaderRun::run(QStringList{ QStringLiteral(TESTS_SOURCE_DIR "/console_read_late.py"), held } + upload, environment,
                               QStringLiteral(PYTHON_EXECUTABLE));
    }
    QVERIFY2(run.exitCode == exitCode, run.errorOutput.right(3000).constData());
    QCOMPARE(run.lastLines(lastLines.count('\n')), lastLines);
    QFile file(result);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray line = file.readAll();
    QVERIFY2(line.endsWith("}\n") && line.count('\n') == 1, line.constData());
    const QJsonObject object = QJsonDocument::fromJson(line).object();
    QCOMPARE(object.value(QStringLiteral("exit")).toInt(), exitCode);
    QCOMPARE(object.value(QStringLiteral("message")).toString().toUtf8(),
             exitCode == 0 ? QByteArray() : lastLines.mid(4, lastLines.indexOf('\n') - 5));
}

QTEST_GUILESS_MAIN(TestWatchdog)
#include "tst_watchdog.moc"
