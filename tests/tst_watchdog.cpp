#include "receiverprocess.h"
#include "testfiles.h"
#include "testpaths.h"
#include "uploaderrun.h"
#include "watchdog.h"

#include <QtTest>

#include <sys/stat.h>

// Ends only an attempt that has no answer, and then writes the result first.
class TestWatchdog : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void heldThread_data();
    void heldThread();
    void startedByLargeParent();
    void runTimeBeyondTimer();
    void resultFifoUnread();
    void uploaderFileHeldPastMaxTime();
    void consoleReadLate();

private:
    // The run of uploader on the whole file, its idle time-out 1 s, through a helper script when one is given.
    UploaderRun runUploader(const QString &url, const QString &script = QString(), const QStringList &scriptArguments = QStringList());
    // The console's last lines, and the result file of one line that agrees with them.
    void checkEnding(const UploaderRun &run, int exitCode, const QByteArray &lastLines);

    RandomFile testFile;
    QString result;
    QProcessEnvironment environment;
};

void TestWatchdog::initTestCase()
{
    QVERIFY(testFile.create(8 << 20, 8, QStringLiteral("chunk.bin")));
}

void TestWatchdog::init()
{
    result = testFile.pathOf(QString::fromLatin1(QTest::currentTestFunction()) + QStringLiteral(".json"));
    QFile::remove(result);
    environment = UploaderRun::defaultEnvironment();
    environment.insert(QStringLiteral("UPLOADER_RESULT"), result);
    environment.insert(QStringLiteral("UPLOADER_IDLE_TIMEOUT"), QStringLiteral("1"));
}

UploaderRun TestWatchdog::runUploader(const QString &url, const QString &script, const QStringList &scriptArguments)
{
    const QStringList upload = { url, QStringLiteral("t"), testFile.path(), QStringLiteral("0"), QString::number(8 << 20),
                                 QString(), QString(), QStringLiteral("false") };
    if (script.isEmpty())
        return UploaderRun::run(upload, environment);
    return UploaderRun::run(QStringList{ QStringLiteral(TESTS_SOURCE_DIR "/") + script } + scriptArguments
                                + QStringList{ QStringLiteral(UPLOADER_BINARY) } + upload,
                            environment, QStringLiteral(PYTHON_EXECUTABLE));
}

void TestWatchdog::checkEnding(const UploaderRun &run, int exitCode, const QByteArray &lastLines)
{
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

void TestWatchdog::heldThread_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("lastLines");
    QTest::newRow("program's thread held during the attempt")
        << "block" << 75 << QByteArray(" >> Timed out: no data moved for 1 seconds \n >> Exit with error! \n");
    QTest::newRow("memory past the bound")
        << "grow" << 1 << " >> Reply too large: memory in use over " + QByteArray::number(Watchdog::memoryBound) + " Byte \n >> Exit with error! \n";
}

// The program's thread held inside the attempt: only the watchdog can end the run.
void TestWatchdog::heldThread()
{
    QFETCH(QString, how);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, lastLines);
#ifdef UPLOADER_SANITIZE
    if (how == QLatin1String("grow"))
        QSKIP("The memory bound is off under AddressSanitizer.");
#endif
    ReceiverProcess receiver({ QStringLiteral("--fault"), QStringLiteral("hold") });
    QVERIFY(receiver.isListening());
    const UploaderRun run = UploaderRun::run({ QStringLiteral("stall"), how, receiver.url(), testFile.path(), result }, environment,
                                             QStringLiteral(PROBE_BINARY));
    checkEnding(run, exitCode, lastLines);
}

// Linux carries the peak of the image that started the program into getrusage's figure.
void TestWatchdog::startedByLargeParent()
{
    ReceiverProcess receiver({ QStringLiteral("--fault"), QStringLiteral("slow-read") });
    QVERIFY(receiver.isListening());
    // The receiver drains megabytes of socket buffers slowly after the last byte is sent: not what this test is about.
    environment.insert(QStringLiteral("UPLOADER_IDLE_TIMEOUT"), QStringLiteral("60"));
    checkEnding(runUploader(receiver.url(), QStringLiteral("large_parent.py")), 0, " >> Bye... \n");
}

// 536870912000 ms is 0 in a timer's 32 bits: the run used to end at once.
void TestWatchdog::runTimeBeyondTimer()
{
    ReceiverProcess receiver;
    QVERIFY(receiver.isListening());
    environment.insert(QStringLiteral("UPLOADER_MAX_TIME"), QStringLiteral("536870912"));
    checkEnding(runUploader(receiver.url()), 0, " >> Bye... \n");
}

// The result is a FIFO that no one reads: the run still ends within its time.
void TestWatchdog::resultFifoUnread()
{
    ReceiverProcess receiver;
    QVERIFY(receiver.isListening());
    QCOMPARE(::mkfifo(QFile::encodeName(result).constData(), 0600), 0);
    environment.insert(QStringLiteral("UPLOADER_MAX_TIME"), QStringLiteral("1"));
    const UploaderRun run = runUploader(receiver.url());
    QVERIFY2(run.exitCode == 75, run.errorOutput.constData());
    QCOMPARE(run.errorOutput, QByteArray(" >> Timed out: the run took over 1 seconds \n"));
}

// Its chunk lines fill a console of one page that is never read: the program's thread waits on it.
void TestWatchdog::uploaderFileHeldPastMaxTime()
{
    ReceiverProcess receiver;
    QVERIFY(receiver.isListening());
    const QStringList options = { QStringLiteral(UPLOADER_FILE_BINARY), QStringLiteral("--chunk-size"), QStringLiteral("1K"),
                                  QStringLiteral("--max-time"), QStringLiteral("4"), QStringLiteral("--journal"),
                                  testFile.pathOf(QStringLiteral("journal")), receiver.url() + QStringLiteral("{index}"), testFile.path() };
    const UploaderRun run = UploaderRun::run(QStringList{ QStringLiteral(TESTS_SOURCE_DIR "/console_one_page.py") } + options, environment,
                                             QStringLiteral(PYTHON_EXECUTABLE));
    QVERIFY2(run.exitCode == 75, run.errorOutput.constData());
    // Its own clock could not end the run: that would have said so.
    QVERIFY2(!run.errorOutput.contains("Timed out"), run.errorOutput.constData());
}

// The console takes the 2 MiB reply only when its reader starts, long after the pipe filled.
void TestWatchdog::consoleReadLate()
{
    ReceiverProcess receiver({ QStringLiteral("--reply-size"), QStringLiteral("2097152") });
    QVERIFY(receiver.isListening());
    // Once the console's pipe is full, it is held 2 s past the time after which the watchdog would end the run.
    const QString held = QString::number(1 + Watchdog::graceSeconds + 2);
    checkEnding(runUploader(receiver.url(), QStringLiteral("console_read_late.py"), { held }), 0, " >> Bye... \n");
}

QTEST_GUILESS_MAIN(TestWatchdog)
#include "tst_watchdog.moc"
