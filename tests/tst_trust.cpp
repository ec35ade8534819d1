#include "receiverprocess.h"
#include "jsonscript.h"
#include "resourcelimits.h"
#include "scopedenvironment.h"
#include "testfiles.h"
#include "testpaths.h"
#include "uploaderrun.h"

#include <QtTest>

#include <fcntl.h>
#include <unistd.h>

class TestTrust : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void outcome_data();
    void outcome();
    void redirectNotFollowed_data();
    void redirectNotFollowed();
    void retries_data();
    void retries();
    void resultFile_data();
    void resultFile();
    void exactFileName();
    void resourceLimits_data();
    void resourceLimits();
    void softLimitsRaisedOnlyAsNeeded();
    void wholeFileLimits_data();
    void wholeFileLimits();

private:
    RandomFile testFile;
};

void TestTrust::initTestCase()
{
    // Large enough to fill the socket buffers of a server that stops reading.
    QVERIFY(testFile.create(32 << 20, 3, QStringLiteral("chunk.bin")));
    QVERIFY(QDir(testFile.folder()).mkpath(QStringLiteral("QtProject")));
    QVERIFY(writeTestFile(testFile.pathOf(QStringLiteral("QtProject/qtlogging.ini")), "[Rules]\n*.debug=false\n"));
    QVERIFY(writeTestFile(testFile.pathOf(QStringLiteral("reply.json")), "{\"status_code\":201,\"pad\":\"0123456789abcdef\"}"));
    // For the limits' rows.
    QVERIFY(writeTestFile(testFile.pathOf(QStringLiteral("nested.json")),
                          "{\"status_code\":201,\"a\":" + QByteArray(998, '[') + QByteArray(998, ']') + '}'));
}

void TestTrust::outcome_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QStringList>("environment");
    QTest::addColumn<QString>("scheme");
    QTest::addColumn<QString>("token");
    QTest::addColumn<qint64>("size");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("lastLines");
    QTest::addColumn<int>("stored");
    QTest::addColumn<QByteArray>("tokenHeader");

    const QString http = QStringLiteral("http");
    const QString token = QStringLiteral("t");
    const QByteArray bye = " >> Bye... \n";
    const QByteArray timedOut = " >> Timed out: no data moved for 2 seconds \n >> Reply Error #: 5 \n >> Exit with error! \n";
    const QByteArray tooLarge = " >> Reply too large: more than 67108864 Byte \n >> Reply Error #: 5 \n >> Exit with error! \n";
    const QStringList quick = { QStringLiteral("UPLOADER_IDLE_TIMEOUT=2") };
    auto split = [](const QString &text) { return text.split(QLatin1Char(' '), Qt::SkipEmptyParts); };

    QTest::newRow("Qt's logging settings")
        << QStringList()
        << QStringList{ QStringLiteral("QT_LOGGING_RULES=*.debug=false"), QStringLiteral("QT_MESSAGE_PATTERN=[%{type}] %{message}"),
                        QStringLiteral("XDG_CONFIG_HOME=") + testFile.folder(),
                        QStringLiteral("QT_LOGGING_CONF=") + testFile.pathOf(QStringLiteral("QtProject/qtlogging.ini")) }
        << http << token << qint64(10) << 0 << bye << 1 << QByteArray();
    QTest::newRow("interim reply before a 500")
        << split(QStringLiteral("--fault interim --status 500 --reason Error")) << QStringList() << http << token << qint64(10) << 75
        << QByteArray(" >> Reply is Empty. \n >> reply header pairs:  () \n >> Unexpected HTTP status: 102 \n >> Exit with error! \n") << 1 << QByteArray();
    QTest::newRow("redirect")
        << split(QStringLiteral("--status 308 --reason Permanent --header Location:https://127.0.0.1/")) << QStringList() << http << token
        << qint64(10) << 1 << QByteArray(" >> Unexpected HTTP status: 308 \n >> Exit with error! \n") << 1 << QByteArray();
    QTest::newRow("body taken, no answer") << split(QStringLiteral("--fault hold")) << quick << http << token << qint64(10) << 75
                                           << timedOut << 1 << QByteArray();
    QTest::newRow("stops reading the body") << split(QStringLiteral("--stop-after 100000")) << quick << http << token
                                            << qint64(testFile.content().size()) << 75 << timedOut << 0 << QByteArray();
    QTest::newRow("https to a plain-text server") << QStringList() << quick << QStringLiteral("https") << token << qint64(10) << 75
                                                  << timedOut << 0 << QByteArray();
    // A piece every 0.4 s, the answer whole after 4.4 s: five times within the idle time-out, twice past it.
    QTest::newRow("slow but steady answer")
        << QStringList{ QStringLiteral("--fault=trickle-reply"), QStringLiteral("--trickle-size=4"), QStringLiteral("--trickle-delay=0.4"),
                        QStringLiteral("--body-file"), testFile.pathOf(QStringLiteral("reply.json")) }
        << QStringList{ QStringLiteral("UPLOADER_IDLE_TIMEOUT=2") } << http << token << qint64(10) << 0 << bye << 1 << QByteArray();
    // Never idle, so only the run's whole time ends it.
    QTest::newRow("reply trickled past the run's time")
        << QStringList{ QStringLiteral("--fault=trickle-reply"), QStringLiteral("--trickle-size=1"), QStringLiteral("--trickle-delay=1"),
                        QStringLiteral("--body-file"), testFile.pathOf(QStringLiteral("reply.json")) }
        << QStringList{ QStringLiteral("UPLOADER_MAX_TIME=3") } << http << token << qint64(10)
        << 75 << QByteArray(" >> Timed out: the run took over 3 seconds \n >> Reply Error #: 5 \n >> Exit with error! \n") << 1 << QByteArray();
    QTest::newRow("retry wait past the run's time: not made")
        << split(QStringLiteral("--status 503 --reason Busy --header Retry-After:30"))
        << QStringList{ QStringLiteral("UPLOADER_MAX_TIME=2"), QStringLiteral("UPLOADER_RETRIES=1") } << http << token << qint64(10) << 75
        << QByteArray(" >> Reply Error #: 403 \n >> Exit with error! \n")
        << 1 << QByteArray();
    QTest::newRow("reply declared too large") << split(QStringLiteral("--reply-size 67108865")) << QStringList() << http << token
                                              << qint64(10) << 1 << tooLarge << 1 << QByteArray();
    QTest::newRow("reply too large, no length") << split(QStringLiteral("--reply-size 67108865 --no-length")) << QStringList() << http
                                                << token << qint64(10) << 1 << tooLarge << 1 << QByteArray();
    QTest::newRow("paced by UPLOADER_LIMIT_RATE") << QStringList() << QStringList{ QStringLiteral("UPLOADER_LIMIT_RATE=4M") } << http << token
                                                 << qint64(1 << 20) << 0 << bye << 1 << QByteArray();
    QTest::newRow("UPLOADER_LIMIT_RATE malformed") << QStringList() << QStringList{ QStringLiteral("UPLOADER_LIMIT_RATE=5X") } << http << token
                                                   << qint64(10) << 2 << QByteArray(" >> Invalid UPLOADER_LIMIT_RATE: \"5X\" \n") << 0 << QByteArray();
    QTest::newRow("token from the environment")
        << QStringList() << QStringList{ QStringLiteral("UPLOADER_API_TOKEN=from environment") } << http << QString() << qint64(10) << 0
        << bye << 1 << QByteArray("X_ZORV_API_TOKEN: from environment");
    QTest::newRow("token argument wins")
        << QStringList() << QStringList{ QStringLiteral("UPLOADER_API_TOKEN=from environment") } << http << QStringLiteral("argument")
        << qint64(10) << 0 << bye << 1 << QByteArray("X_ZORV_API_TOKEN: argument");
}

void TestTrust::outcome()
{
    QFETCH(QStringList, options);
    QFETCH(QStringList, environment);
    QFETCH(QString, scheme);
    QFETCH(QString, token);
    QFETCH(qint64, size);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, lastLines);
    QFETCH(int, stored);
    QFETCH(QByteArray, tokenHeader);
    ReceiverProcess receiver(options);
    QVERIFY(receiver.isListening());
    const QProcessEnvironment variables = ScopedEnvironment::with(UploaderRun::defaultEnvironment(), environment);

    const UploaderRun run = UploaderRun::run({ receiver.url(scheme), token, testFile.path(), QStringLiteral("0"), QString::number(size),
                                               QString(), QString(), QStringLiteral("false") }, variables);
    QVERIFY(run.finished);
    QVERIFY2(run.exitCode == exitCode, run.errorOutput.right(2000).constData());
    QCOMPARE(run.lastLines(lastLines.count('\n')), lastLines);
    if (exitCode == 0)
        QVERIFY(run.errorOutput.startsWith(" >> File size = "));
    QCOMPARE(receiver.storedCount(), stored);
    if (exitCode == 0)
        QCOMPARE(receiver.storedBody(1), testFile.content().left(size));
    if (!tokenHeader.isEmpty())
        QVERIFY(receiver.storedHeaderLines(1).contains(tokenHeader));
}

void TestTrust::redirectNotFollowed_data()
{
    QTest::addColumn<int>("status");
    QTest::newRow("302, which Qt 6 would follow with a GET") << 302;
    QTest::newRow("307, which Qt 6 would follow with the body and the token") << 307;
}

// A redirect to a working address is shown and fails the run; nothing reaches that address.
void TestTrust::redirectNotFollowed()
{
    QFETCH(int, status);
    ReceiverProcess target;
    QVERIFY(target.isListening());
    ReceiverProcess receiver({ QStringLiteral("--status"), QString::number(status), QStringLiteral("--reason"), QStringLiteral("Moved"),
                               QStringLiteral("--header"), QStringLiteral("Location: ") + target.url() });
    QVERIFY(receiver.isListening());
    const UploaderRun run = UploaderRun::run({ receiver.url(), QStringLiteral("t"), testFile.path(), QStringLiteral("0"), QStringLiteral("10"),
                                               QString(), QString(), QStringLiteral("false") });
    QCOMPARE(run.exitCode, 1);
    QCOMPARE(run.lastLines(2), " >> Unexpected HTTP status: " + QByteArray::number(status) + " \n >> Exit with error! \n");
    QCOMPARE(target.storedCount(), 0);
}

void TestTrust::retries_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("retries");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<int>("stored");
    QTest::addColumn<QByteArray>("firstRetry");

    auto split = [](const QString &text) { return text.split(QLatin1Char('|')); };
    QTest::newRow("503 with Retry-After, then 201") << split(QStringLiteral("--fail-first|1|--fail-header|Retry-After: 1")) << "2" << 0 << 2
                                                    << QByteArray(" >> Retrying in 1 seconds: attempt 2 of 3 \n");
    QTest::newRow("refused, then listening") << split(QStringLiteral("--listen-after|2")) << "3" << 0 << 1
                                             << QByteArray(" >> Retrying in 1 seconds: attempt 2 of 4 \n");
    QTest::newRow("401 is never retried") << split(QStringLiteral("--status|401")) << "3" << 1 << 1 << QByteArray();
    QTest::newRow("retries exhausted, Retry-After a past date")
        << split(QStringLiteral("--status|503|--header|Retry-After: Wed, 21 Oct 2015 07:28:00 GMT")) << "2" << 75 << 3
        << QByteArray(" >> Retrying in 0 seconds: attempt 2 of 3 \n");
    QTest::newRow("no retries by default") << split(QStringLiteral("--status|503")) << "" << 75 << 1 << QByteArray();
}

// Each attempt prints its own start, progress and reply; only the last one's report ends the run.
void TestTrust::retries()
{
    QFETCH(QStringList, options);
    QFETCH(QString, retries);
    QFETCH(int, exitCode);
    QFETCH(int, stored);
    QFETCH(QByteArray, firstRetry);
    ReceiverProcess receiver(options);
    QVERIFY(receiver.isListening());
    QProcessEnvironment environment = UploaderRun::defaultEnvironment();
    environment.insert(QStringLiteral("UPLOADER_RETRIES"), retries);
    const UploaderRun run = UploaderRun::run({ receiver.url(), QStringLiteral("t"), testFile.path(), QStringLiteral("0"), QStringLiteral("100000"),
                                               QString(), QString(), QStringLiteral("false") }, environment);
    QVERIFY2(run.exitCode == exitCode, run.errorOutput.constData());
    QCOMPARE(receiver.storedCount(), stored);
    for (int i = 1; i <= stored; ++i)
        QCOMPARE(receiver.storedBody(i), testFile.content().left(100000));
    const int retry = run.errorOutput.indexOf(" >> Retrying in ");
    QCOMPARE(retry < 0 ? QByteArray() : run.errorOutput.mid(retry, run.errorOutput.indexOf('\n', retry) - retry + 1), firstRetry);
    QCOMPARE(run.errorOutput.count(" >> Uploading Start... \n"), run.errorOutput.count(" >> Retrying in ") + 1);
    if (exitCode == 0)
        QVERIFY(run.errorOutput.mid(run.errorOutput.lastIndexOf(" >> Uploading Start... ")).contains(" >> Progress:  100 \n"));
    QCOMPARE(run.errorOutput.count(" >> Exit with error! \n") + run.errorOutput.count(" >> Bye... \n"), 1);
}

void TestTrust::resultFile_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QString>("result");
    QTest::addColumn<QString>("file");
    QTest::addColumn<QString>("shell");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("members");

    const QString file = testFile.pathOf(QStringLiteral("result.json"));
    const QString binary = testFile.pathOf(QStringLiteral("binary.reply"));
    QVERIFY(writeTestFile(binary, QByteArray("\xff\0\"\n", 4)));
    QTest::newRow("success, standard output") << QStringList() << "-" << testFile.path() << QString() << 0
        << QByteArray(R"({"exit":0,"attempts":1,"http_status":201,"error":0,"message":"","bytes":10,"status_code":201,)"
                      R"("headers":[["Content-Type","application/json"],["Content-Length","33"]],"reply":"{\"status_code\":201,\"received\":10}","reply_base64":null})");
    QTest::newRow("HTTP 404") << QStringList{ QStringLiteral("--status"), QStringLiteral("404") } << file << testFile.path() << QString() << 1
        << QByteArray(R"({"exit":1,"attempts":1,"http_status":404,"error":203,"message":"Reply Error #: 203","status_code":null,)"
                      R"("reply":"{\"status_code\":404,\"received\":10}"})");
    QTest::newRow("binary reply") << QStringList{ QStringLiteral("--body-file"), binary } << file << testFile.path() << QString() << 0
        << QByteArray(R"({"exit":0,"status_code":0,"reply":null,"reply_base64":"/wAiCg=="})");
    QTest::newRow("missing file") << QStringList() << file << testFile.pathOf(QStringLiteral("missing")) << QString() << 1
        << QByteArray(R"({"exit":1,"attempts":0,"http_status":null,"message":"Cannot Open input file.","seconds":null,"megabits_per_second":null,"reply":null})");
    QTest::newRow("unwritable path") << QStringList() << testFile.pathOf(QStringLiteral("missing/result.json")) << testFile.path() << QString() << 2
        << QByteArray();
    // The console would otherwise go into the temporary result file, which takes descriptor 2.
    QTest::newRow("standard error closed") << QStringList() << file << testFile.path() << QStringLiteral("exec 2>&-") << 0
        << QByteArray(R"({"exit":0,"http_status":201})");
    QTest::newRow("a descriptor's name") << QStringList() << QStringLiteral("/dev/stdout") << testFile.path() << QString() << 0
        << QByteArray(R"({"exit":0,"http_status":201})");
    // A result that cannot be written fails a run that the server accepted.
    QTest::newRow("device that takes nothing") << QStringList() << QStringLiteral("/dev/full") << testFile.path() << QString() << 1 << QByteArray();
    // Over the limit, the write fails and says so; Qt 6's engine needs more, so its soft limit is raised.
    QTest::newRow("result over the file-size limit")
        << QStringList{ QStringLiteral("--reply-size"), QStringLiteral("5000") } << file << testFile.path() << QStringLiteral("ulimit -S -f 1")
        << (JsonScript::requiredFileSizeKilobytes > 0 ? 0 : 1) << QByteArray(R"({"exit":0})");
}

// The result is one JSON line, written whole at the end; an unusable testFile.path() fails before anything is sent.
void TestTrust::resultFile()
{
    QFETCH(QStringList, options);
    QFETCH(QString, result);
    QFETCH(QString, file);
    QFETCH(QString, shell);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, members);
    ReceiverProcess receiver(options);
    QVERIFY(receiver.isListening());
    QProcessEnvironment environment = UploaderRun::defaultEnvironment();
    environment.insert(QStringLiteral("UPLOADER_RESULT"), result);
    if (!result.startsWith(QLatin1String("/dev/")))
        QFile::remove(result);
    const QStringList arguments = { receiver.url(), QStringLiteral("t"), file, QStringLiteral("0"), QStringLiteral("10"),
                                    QString(), QString(), QStringLiteral("false") };
    const UploaderRun run = shell.isEmpty() ? UploaderRun::run(arguments, environment)
                                            : UploaderRun::run(QStringList{ QStringLiteral("-c"), shell + QStringLiteral(" && exec \"$0\" \"$@\""),
                                                                            QStringLiteral(UPLOADER_BINARY) } + arguments,
                                                               environment, QStringLiteral("/bin/sh"));
    QVERIFY2(run.exitCode == exitCode, run.errorOutput.constData());
    const QByteArray cannotWrite = " >> Cannot write UPLOADER_RESULT: \"" + result.toUtf8() + "\" \n";
    if (members.isEmpty()) {
        QVERIFY2(run.errorOutput.endsWith(cannotWrite), run.errorOutput.constData());
        QCOMPARE(receiver.storedCount(), exitCode == 2 ? 0 : 1);
        return;
    }
    if (exitCode == 1 && !shell.isEmpty()) {
        QVERIFY2(run.errorOutput.endsWith(cannotWrite), run.errorOutput.constData());
        return;
    }
    QFile written(result);
    const bool toStandardOutput = result == QLatin1String("-") || result == QLatin1String("/dev/stdout");
    const QByteArray line = toStandardOutput ? run.standardOutput : (written.open(QIODevice::ReadOnly) ? written.readAll() : QByteArray());
    QCOMPARE(line.count('\n'), 1);
    QVERIFY(line.endsWith('\n'));
    const QJsonObject object = QJsonDocument::fromJson(line).object();
    const QJsonObject expected = QJsonDocument::fromJson(members).object();
    for (auto it = expected.begin(); it != expected.end(); ++it)
        QVERIFY2(object.value(it.key()) == it.value(), qPrintable(it.key() + QLatin1String(" in ") + QString::fromUtf8(line)));
    QCOMPARE(QDir(testFile.folder()).entryList(QStringList() << QStringLiteral("result.json.*")), QStringList());
    if (shell.contains(QLatin1String("2>&-")))
        QVERIFY(run.errorOutput.isEmpty());
}

// A name that is not valid UTF-8 names that file, not the one its decoding would name.
void TestTrust::exactFileName()
{
    const QByteArray folder = QFile::encodeName(testFile.folder());
    QVERIFY(writeTestFile(QFile::decodeName(folder + "/lat\xef\xbf\xbd.bin"), "the decoy"));
    QFile latin1;
    const int descriptor = ::open((folder + "/lat\xe9.bin").constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    QVERIFY(descriptor >= 0 && latin1.open(descriptor, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle));
    QCOMPARE(latin1.write("Latin-1 named"), qint64(13));
    latin1.close();

    ReceiverProcess receiver;
    QVERIFY(receiver.isListening());
    // QProcess would encode a name as UTF-8; the shell passes its bytes.
    const UploaderRun run = UploaderRun::run(
        { QStringLiteral("-c"), QStringLiteral("exec \"$0\" \"$1\" t \"$2/$(printf 'lat\\351.bin')\" 0 13 '' '' false"),
          QStringLiteral(UPLOADER_BINARY), receiver.url(), testFile.folder() },
        UploaderRun::defaultEnvironment(), QStringLiteral("/bin/sh"));
    // QTemporaryDir cannot remove a name that does not decode.
    ::unlink((folder + "/lat\xe9.bin").constData());
    QVERIFY2(run.exitCode == 0, run.errorOutput.constData());
    QCOMPARE(receiver.storedBody(1), QByteArray("Latin-1 named"));
}

void TestTrust::resourceLimits_data()
{
    QTest::addColumn<QString>("limit");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("refusal");
    QTest::newRow("soft address space, raised") << QStringLiteral("-S -v 100000") << 0 << QByteArray();
    const QByteArray needs = " kB, the upload needs ";
    QTest::newRow("hard address space") << QStringLiteral("-v 100000") << 1
                                        << " >> Address space limit too low: 100000" + needs
                                               + QByteArray::number(JsonScript::requiredAddressSpaceKilobytes) + " kB \n";
    QTest::newRow("soft data segment, raised") << QStringLiteral("-S -d 100000") << 0 << QByteArray();
    QTest::newRow("hard data segment") << QStringLiteral("-d 100000") << 1
                                       << " >> Data segment limit too low: 100000" + needs
                                              + QByteArray::number(JsonScript::requiredDataKilobytes) + " kB \n";
    QTest::newRow("soft stack, raised") << QStringLiteral("-S -s 256") << 0 << QByteArray();
    QTest::newRow("hard stack") << QStringLiteral("-s 256") << 1
                                << " >> Stack limit too low: 256" + needs + QByteArray::number(JsonScript::requiredStackKilobytes) + " kB \n";
    // Threads take their stacks from the limit as it was when the process started;
    // below a few pages the loader alone may not fit beside a large environment.
    QTest::newRow("soft stack of 32 kB, raised") << QStringLiteral("-S -s 32") << 0 << QByteArray();
    // GLib aborted for want of descriptors after the reply, and a fine file could not be opened.
    QTest::newRow("soft open files, raised") << QStringLiteral("-S -n 7") << 0 << QByteArray();
    QTest::newRow("hard open files") << QStringLiteral("-n 8") << 1
                                     << " >> Open files limit too low: 8 files, the upload needs "
                                            + QByteArray::number(ResourceLimits::requiredOpenFiles) + " files \n";
    if (JsonScript::requiredFileSizeKilobytes > 0)
        QTest::newRow("hard file size, in blocks of 512 bytes") << QStringLiteral("-f 8000") << 1
                                        << " >> File size limit too low: 4000" + needs + QByteArray::number(JsonScript::requiredFileSizeKilobytes)
                                               + " kB \n";
}

// The script engine reserves 2 GiB and converts nested JSON on the stack when
// the reply comes: it must never crash there. The reply nests 999 deep.
void TestTrust::resourceLimits()
{
#ifdef UPLOADER_SANITIZE
    QSKIP("The sanitizers' shadow memory does not fit under an address-space limit.");
#endif
    QFETCH(QString, limit);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, refusal);
    ReceiverProcess receiver({ QStringLiteral("--body-file"), testFile.pathOf(QStringLiteral("nested.json")) });
    QVERIFY(receiver.isListening());
    const UploaderRun run = UploaderRun::run(
        { QStringLiteral("-c"), QStringLiteral("ulimit %1 && exec \"$0\" \"$1\" t \"$2\" 0 10 '' '' false").arg(limit),
          QStringLiteral(UPLOADER_BINARY), receiver.url(), testFile.path() },
        UploaderRun::defaultEnvironment(), QStringLiteral("/bin/sh"));
    QVERIFY2(run.exitCode == exitCode, run.errorOutput.constData());
    QCOMPARE(receiver.storedCount(), exitCode == 0 ? 1 : 0);
    if (exitCode == 0)
        QVERIFY(run.errorOutput.contains(" >> status_code =  201 \n"));
    else
        QCOMPARE(run.errorOutput, refusal);
}

// uploader-file checks the same limits, before Qt starts; the reply's nesting needs the stack.
void TestTrust::wholeFileLimits_data()
{
    QTest::addColumn<QString>("limit");
    QTest::addColumn<int>("exitCode");
    // Below a few pages the loader alone may not fit beside a large environment.
    QTest::newRow("soft stack of 64 kB, raised") << QStringLiteral("-S -s 64") << 0;
    QTest::newRow("soft open files, raised") << QStringLiteral("-S -n 7") << 0;
    QTest::newRow("hard stack") << QStringLiteral("-s 256") << 1;
}

void TestTrust::wholeFileLimits()
{
#ifdef UPLOADER_SANITIZE
    QSKIP("The sanitizers' shadow memory does not fit under these limits.");
#endif
    QFETCH(QString, limit);
    QFETCH(int, exitCode);
    ReceiverProcess receiver({ QStringLiteral("--body-file"), testFile.pathOf(QStringLiteral("nested.json")) });
    QVERIFY(receiver.isListening());
    const UploaderRun run = UploaderRun::run(
        { QStringLiteral("-c"), QStringLiteral("ulimit %1 && exec \"$0\" --restart --journal \"$1\" \"$2\" \"$3\"").arg(limit),
          QStringLiteral(UPLOADER_FILE_BINARY), testFile.pathOf(QStringLiteral("limits.journal")), receiver.url() + QStringLiteral("{index}"),
          testFile.path() },
        UploaderRun::defaultEnvironment(), QStringLiteral("/bin/sh"));
    QVERIFY2(run.exitCode == exitCode, run.errorOutput.constData());
}

// A limit the user set is raised only as far as the run needs.
void TestTrust::softLimitsRaisedOnlyAsNeeded()
{
#ifdef UPLOADER_SANITIZE
    QSKIP("The sanitizers' shadow memory does not fit under an address-space limit.");
#endif
    const UploaderRun run = UploaderRun::run(
        { QStringLiteral("-c"), QStringLiteral("ulimit -S -v 100000 && ulimit -S -d 100000 && ulimit -S -s 256 && exec \"$0\" limits"),
          QStringLiteral(PROBE_BINARY) },
        UploaderRun::defaultEnvironment(), QStringLiteral("/bin/sh"));
    QCOMPARE(run.standardOutput, QByteArray::number(JsonScript::requiredAddressSpaceKilobytes) + ' '
                                     + QByteArray::number(JsonScript::requiredDataKilobytes) + ' '
                                     + QByteArray::number(JsonScript::requiredStackKilobytes) + '\n');
}

QTEST_GUILESS_MAIN(TestTrust)
#include "tst_trust.moc"
