#include "messagecapture.h"
#include "resultwriter.h"
#include "testfiles.h"
#include "uploadresult.h"

#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

QByteArray json(const UploadResult &result)
{
    QByteArray text;
    result.writeJson([&text](const char *data, qint64 size) {
        text.append(data, int(size));
        return true;
    });
    return text;
}

QByteArray contentOf(const QByteArray &path)
{
    QFile file(QFile::decodeName(path));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

mode_t fileType(const QByteArray &path)
{
    struct stat status = {};
    return ::lstat(path.constData(), &status) == 0 ? status.st_mode & S_IFMT : 0;
}

} // namespace

class TestResultWriter : public QObject
{
    Q_OBJECT

private slots:
    void targets_data();
    void targets();
    void members_data();
    void members();
    void appends_data();
    void appends();

private:
    QTemporaryDir directory;
};

void TestResultWriter::targets_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("opens");
    QTest::addColumn<bool>("writes");
    QTest::addColumn<QString>("refusal");
    QTest::newRow("new file") << "new" << true << true << QString();
    QTest::newRow("previous result, replaced whole") << "previous" << true << true << QString();
    QTest::newRow("link to a file: the file is replaced") << "link" << true << true << QString();
    QTest::newRow("FIFO with a reader") << "fifo" << true << true << QString();
    QTest::newRow("device of our own, as /dev/null") << "device" << true << true << QString();
    QTest::newRow("/dev/null") << "/dev/null" << true << true << QString();
    QTest::newRow("full device") << "/dev/full" << true << false << QString();
    QTest::newRow("a regular file under /dev: replaced whole") << "shm" << true << true << QString();
    QTest::newRow("a descriptor's name of a regular file: written in place") << "descriptor" << true << true << QString();
    QTest::newRow("FIFO whose reader stops reading: the run's time ends the wait") << "stalled" << true << false << QString();
    QTest::newRow("missing folder") << "missing" << false << false << " >> Cannot write UPLOADER_RESULT: \"PATH\" ";
    QTest::newRow("the input file") << "input" << false << false << " >> UPLOADER_RESULT names the input file: \"PATH\" ";
    QTest::newRow("link to the input file") << "input link" << false << false << " >> UPLOADER_RESULT names the input file: \"PATH\" ";
    QTest::newRow("another user's link in a shared directory")
        << "foreign link" << false << false << " >> UPLOADER_RESULT is a link of another user in a shared directory: \"PATH\" ";
    QTest::newRow("another user's file in a shared directory") << "foreign file" << false << false << " >> UPLOADER_RESULT is a file of another user in a shared directory: \"PATH\" ";
}

// Devices and FIFOs are written in place, never renamed over; a regular file
// is replaced through a temporary file beside it, and the previous result is
// gone as soon as the run starts.
void TestResultWriter::targets()
{
    QFETCH(QString, kind);
    QFETCH(bool, opens);
    QFETCH(bool, writes);
    QFETCH(QString, refusal);
    const QByteArray folder = QFile::encodeName(directory.path()) + '/' + QTest::currentDataTag();
    QVERIFY(QDir().mkpath(QFile::decodeName(folder)));
    const QByteArray input = folder + "/input.bin";
    QVERIFY(writeTestFile(QFile::decodeName(input), "input bytes"));
    QByteArray path = folder + "/result.json";
    QByteArray file = path;
    int reader = -1;
    if (kind == QLatin1String("previous")) {
        QVERIFY(writeTestFile(QFile::decodeName(path), "{\"exit\":0}\n"));
        QCOMPARE(::chmod(path.constData(), 0640), 0);
    } else if (kind.endsWith(QLatin1String("link"))) {
        file = kind == QLatin1String("input link") ? input : folder + "/target.json";
        if (file != input)
            QVERIFY(writeTestFile(QFile::decodeName(file), "old"));
        QCOMPARE(::symlink(file.constData(), path.constData()), 0);
        if (kind == QLatin1String("foreign link") && (::chmod(folder.constData(), 01777) != 0 || ::lchown(path.constData(), 4321, 4321) != 0))
            QSKIP("Giving a link to another user needs root.");
    } else if (kind == QLatin1String("foreign file")) {
        QVERIFY(writeTestFile(QFile::decodeName(path), "theirs"));
        if (::chmod(folder.constData(), 01777) != 0 || ::chown(path.constData(), 4321, 4321) != 0)
            QSKIP("Giving a file to another user needs root.");
    } else if (kind == QLatin1String("input")) {
        path = file = input;
    } else if (kind == QLatin1String("shm")) {
        path = file = "/dev/shm/tst_resultwriter-" + QByteArray::number(QCoreApplication::applicationPid()) + ".json";
        QVERIFY(writeTestFile(QFile::decodeName(path), "{\"exit\":0}\n"));
    } else if (kind == QLatin1String("descriptor")) {
        QVERIFY(writeTestFile(QFile::decodeName(file), "{\"exit\":0}\n"));
        reader = ::open(file.constData(), O_RDONLY | O_CLOEXEC);
        path = "/dev/fd/" + QByteArray::number(reader);
    } else if (kind == QLatin1String("fifo") || kind == QLatin1String("stalled")) {
        QCOMPARE(::mkfifo(path.constData(), 0600), 0);
        reader = ::open(path.constData(), O_RDONLY | O_NONBLOCK);
        QVERIFY(reader >= 0);
    } else if (kind == QLatin1String("device")) {
        if (::mknod(path.constData(), S_IFCHR | 0666, makedev(1, 3)) != 0)
            QSKIP("Making a device node needs root.");
    } else if (kind.startsWith(QLatin1Char('/'))) {
        path = file = kind.toUtf8();
    } else if (kind == QLatin1String("missing")) {
        path = file = folder + "/missing/result.json";
    }
    const mode_t typeBefore = fileType(path);

    UploadResult result;
    result.attempts = 1;
    result.httpStatus = 201;
    result.reply = kind == QLatin1String("stalled") ? QByteArray(1 << 17, 'r') : QByteArray("{\"status_code\":201}");
    {
        const QStringList entries = QDir(QFile::decodeName(folder)).entryList(QDir::AllEntries | QDir::System);
        const QByteArray before = opens ? QByteArray() : contentOf(file);
        ResultWriter resultFile;
        QCOMPARE(resultFile.open(path, input, QDeadlineTimer(kind == QLatin1String("stalled") ? 100 : -1)), opens);
        if (!opens) {
            MessageCapture capture;
            resultFile.reportFailure();
            QCOMPARE(capture.lines(), QStringList() << refusal.replace(QLatin1String("PATH"), QFile::decodeName(path)));
            // Refused before anything was created, cut or removed.
            QCOMPARE(QDir(QFile::decodeName(folder)).entryList(QDir::AllEntries | QDir::System), entries);
            QCOMPARE(contentOf(file), before);
            QCOMPARE(fileType(path), typeBefore);
            return;
        }
        if (kind == QLatin1String("previous"))
            QVERIFY2(!QFile::exists(QFile::decodeName(path)), "the previous result outlived the start");
        QCOMPARE(resultFile.write(result), writes);
        QCOMPARE(resultFile.timedOut(), kind == QLatin1String("stalled"));
        UploadResult later = result;
        later.exitStatus = ExitStatus::TemporaryFailure;
        QVERIFY(resultFile.write(later));
    }
    QCOMPARE(fileType(path), typeBefore ? typeBefore : mode_t(S_IFREG));
    QCOMPARE(QDir(QFile::decodeName(folder)).entryList({ QStringLiteral("*.json.*") }, QDir::Files | QDir::System), QStringList());
    if (kind == QLatin1String("shm") || kind == QLatin1String("descriptor")) {
        ::close(reader);
        QCOMPARE(contentOf(file), (kind == QLatin1String("shm") ? QByteArray() : QByteArray("{\"exit\":0}\n")) + json(result));
        QFile::remove(QFile::decodeName(path));
    } else if (kind == QLatin1String("stalled")) {
        ::close(reader);
    } else if (reader >= 0) {
        char text[4096];
        const ssize_t size = ::read(reader, text, sizeof text);
        ::close(reader);
        QCOMPARE(QByteArray(text, int(qMax<ssize_t>(0, size))), json(result));
    } else if (file.startsWith(QFile::encodeName(directory.path())) && kind != QLatin1String("device")) {
        QFile written(QFile::decodeName(file));
        QVERIFY(written.open(QIODevice::ReadOnly));
        QCOMPARE(written.readAll(), json(result));
    }
    if (kind == QLatin1String("previous")) {
        struct stat status = {};
        QCOMPARE(::stat(path.constData(), &status), 0);
        QCOMPARE(status.st_mode & 0777, mode_t(0640));
    }
}

void TestResultWriter::members_data()
{
    QTest::addColumn<int>("httpStatus");
    QTest::addColumn<qint64>("bytes");
    QTest::addColumn<qint64>("milliseconds");
    QTest::addColumn<QByteArray>("failure");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QByteArray>("expected");
    // The chunk's file, of a run over several.
    QTest::addColumn<QByteArray>("file");

    QTest::newRow("answered")
        << 201 << qint64(1000000) << qint64(2500) << QByteArray() << QByteArray("{\"a\":\"\xc3\xa9\"}")
        << QByteArray(R"({"attempts":1,"bytes":1000000,"error":0,"exit":0,"http_status":201,"megabits_per_second":3.2,"message":"",)"
                      R"("seconds":2.5,"status_code":null,"headers":[["Content-Type","application/json"]],"reply":"{\"a\":\"é\"}","reply_base64":null})"
                      "\n") << QByteArray();
    QTest::newRow("control characters escaped")
        << 201 << qint64(1) << qint64(0) << QByteArray(" >> Reply \"x\" ") << QByteArray("\x01\t\\", 3)
        << QByteArray(R"({"attempts":1,"bytes":1,"error":0,"exit":0,"http_status":201,"megabits_per_second":null,"message":"Reply \"x\"",)"
                      R"("seconds":0,"status_code":null,"headers":[["Content-Type","application/json"]],"reply":"\u0001\u0009\\","reply_base64":null})"
                      "\n") << QByteArray();
    QTest::newRow("binary reply, all base64 endings")
        << 500 << qint64(-5) << qint64(-1) << QByteArray() << QByteArray("\xff\0\"\xfe", 4)
        << QByteArray(R"({"attempts":1,"bytes":0,"error":0,"exit":0,"http_status":500,"megabits_per_second":null,"message":"",)"
                      R"("seconds":null,"status_code":null,"headers":[["Content-Type","application/json"]],"reply":null,"reply_base64":"/wAi/g=="})"
                      "\n") << QByteArray();
    QTest::newRow("no answer") << 0 << qint64(10) << qint64(1000) << QByteArray(" >> Reply Error #: 99 ") << QByteArray("lost")
                               << QByteArray(R"({"attempts":1,"bytes":10,"error":0,"exit":0,"http_status":null,"megabits_per_second":8e-05,)"
                                             R"("message":"Reply Error #: 99","seconds":1,"status_code":null,)"
                                             R"("headers":[["Content-Type","application/json"]],"reply":null,"reply_base64":null})"
                                             "\n") << QByteArray();
    QTest::newRow("a file whose name is not UTF-8") << 201 << qint64(0) << qint64(0) << QByteArray() << QByteArray() << QByteArray(R"({"attempts":1,"bytes":0,"error":0,"exit":0,"file":"d/�x","file_base64":"ZC//eA==","http_status":201,"megabits_per_second":null,"message":"","seconds":0,"status_code":null,"headers":[["Content-Type","application/json"]],"reply":"","reply_base64":null})" "\n") << QByteArray("d/\xffx");
}

// Built a piece at a time; read back as JSON, it says what the run did.
void TestResultWriter::members()
{
    QFETCH(int, httpStatus);
    QFETCH(qint64, bytes);
    QFETCH(qint64, milliseconds);
    QFETCH(QByteArray, failure);
    QFETCH(QByteArray, reply);
    QFETCH(QByteArray, expected);
    QFETCH(QByteArray, file);
    UploadResult result;
    result.file = file;
    result.startAttempt();
    result.httpStatus = httpStatus;
    result.bytes = bytes;
    result.elapsedMilliseconds = milliseconds;
    result.failure = failure;
    result.headers << qMakePair(QByteArray("Content-Type"), QByteArray("application/json"));
    result.reply = reply;
    QCOMPARE(json(result), expected);
    QVERIFY(!QJsonDocument::fromJson(json(result)).isNull());
}

void TestResultWriter::appends_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("opens");
    // Bytes of the first line's reply: over a pipe's buffer, it fills a pipe that nobody reads.
    QTest::addColumn<int>("replySize");
    QTest::addColumn<int>("first");
    QTest::addColumn<int>("second");

    const int whole = int(ResultWriter::Written::Whole);
    const int failed = int(ResultWriter::Written::Failed);
    const int stopped = int(ResultWriter::Written::Stopped);
    QTest::newRow("file: every line") << "file" << true << 10000 << whole << whole;
    QTest::newRow("file of a run refused at its start: the earlier lines kept") << "refused" << true << 10 << whole << whole;
    QTest::newRow("name not yet taken: created once the run starts") << "new" << true << 10 << whole << whole;
    QTest::newRow("full device: nothing after the failed line") << "/dev/full" << true << 10 << failed << failed;
    QTest::newRow("FIFO without a reader refused") << "fifo" << false << 10 << failed << failed;
    QTest::newRow("reader that reads nothing: stopped at the deadline") << "stalled" << true << 1 << whole << stopped;
    QTest::newRow("reader gone: a failed write, no SIGPIPE") << "gone" << true << 10 << failed << failed;
}

// Each line whole, or the writer stops for good; a FIFO's reader is never waited for past the deadline.
void TestResultWriter::appends()
{
    QFETCH(QString, kind);
    QFETCH(bool, opens);
    QFETCH(int, replySize);
    QFETCH(int, first);
    QFETCH(int, second);
    QByteArray path = QFile::encodeName(directory.filePath(kind + QLatin1String(".appends")));
    int reader = -1;
    if (kind.startsWith(QLatin1Char('/'))) {
        path = kind.toUtf8();
    } else if (kind == QLatin1String("file") || kind == QLatin1String("refused")) {
        QVERIFY(writeTestFile(QFile::decodeName(path), "previous run"));
    } else if (kind != QLatin1String("new")) {
        QCOMPARE(::mkfifo(path.constData(), 0600), 0);
        if (kind != QLatin1String("fifo"))
            QVERIFY((reader = ::open(path.constData(), O_RDONLY | O_NONBLOCK)) >= 0);
    }
    UploadResult result;
    result.startAttempt();
    result.httpStatus = 201;
    result.reply = QByteArray(replySize, 'r');
    QJsonObject summary;
    summary.insert(QStringLiteral("exit"), 0);
    // The stalled reader's pipe takes the first line, and nothing of a line that does not fit what is left.
    UploadResult large = result;
    large.reply = QByteArray(1 << 17, 'r');
    ResultWriter writer;
    QCOMPARE(writer.openForAppends(path, QDeadlineTimer(1000)), opens);
    QCOMPARE(writer.refusalReason(), QByteArray(kind == QLatin1String("fifo") ? "is a FIFO without a reader " : ""));
    // Nothing cut or created before the run starts.
    QCOMPARE(QFile::exists(QFile::decodeName(path)), kind != QLatin1String("new"));
    if (opens && kind != QLatin1String("refused"))
        QVERIFY(writer.startAppends());
    if (kind == QLatin1String("gone"))
        ::close(reader);
    const ResultWriter::Written firstWritten = opens ? writer.append(result) : ResultWriter::Written::Failed;
    QCOMPARE(int(firstWritten), first);
    const ResultWriter::Written secondWritten
        = opens ? (kind == QLatin1String("stalled") ? writer.append(large) : writer.append(summary)) : ResultWriter::Written::Failed;
    QCOMPARE(int(secondWritten), second);
    QCOMPARE(writer.isOpen(), opens && second == int(ResultWriter::Written::Whole));
    if (kind == QLatin1String("file") || kind == QLatin1String("new") || kind == QLatin1String("refused"))
        QCOMPARE(contentOf(path), QByteArray(kind == QLatin1String("refused") ? "previous run" : "") + json(result) + "{\"exit\":0}\n");
    if (kind == QLatin1String("stalled")) {
        char text[4096];
        const ssize_t size = ::read(reader, text, sizeof text);
        ::close(reader);
        QCOMPARE(QByteArray(text, int(qMax<ssize_t>(0, size))).left(json(result).size()), json(result));
    }
}

QTEST_GUILESS_MAIN(TestResultWriter)
#include "tst_resultwriter.moc"
