#include "journalline.h"
#include "testfiles.h"
#include "uploadjournal.h"

#include <QtTest>

#include <csignal>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// 100 bytes in chunks of 30: [0, 30), [30, 60), [60, 90), [90, 100).
QJsonObject header(qint64 size = 100)
{
    QJsonObject object;
    object.insert(QStringLiteral("size"), double(size));
    object.insert(QStringLiteral("chunk_size"), 30.0);
    object.insert(QStringLiteral("mtime_ns"), QStringLiteral("1"));
    object.insert(QStringLiteral("ctime_ns"), QStringLiteral("2"));
    object.insert(QStringLiteral("template"), QStringLiteral("http://h/{index}"));
    return object;
}

QByteArray chunk(const QByteArray &index, int start, int end, int status = 201)
{
    return "{\"index\":" + index + ",\"start\":" + QByteArray::number(start) + ",\"end\":" + QByteArray::number(end)
           + ",\"http_status\":" + QByteArray::number(status) + ",\"crc32\":3735928559}\n";
}

// A run over several files, chunks of 30.
QJsonObject severalHeader()
{
    QJsonObject object;
    object.insert(QStringLiteral("files"), true);
    object.insert(QStringLiteral("chunk_size"), 30.0);
    object.insert(QStringLiteral("template"), QStringLiteral("http://h/{name}/{index}"));
    return object;
}

QJsonObject identity(qint64 size)
{
    QJsonObject object = header(size);
    object.remove(QStringLiteral("chunk_size"));
    object.remove(QStringLiteral("template"));
    return object;
}

QByteArray fileLine(const QByteArray &path, qint64 size)
{
    return JournalLine::fileLine(path, identity(size)).toJson() + '\n';
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<absent>");
}

} // namespace

class TestUploadJournal : public QObject
{
    Q_OBJECT

private slots:
    void opening_data();
    void opening();
    void largeJournal();
    void severalFiles_data();
    void severalFiles();

private:
    QTemporaryDir directory;
};

void TestUploadJournal::opening_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("restart");
    QTest::addColumn<int>("opening");
    QTest::addColumn<QString>("stored");
    QTest::addColumn<int>("ignored");
    // What the journal holds once the run goes on; a refused run leaves it as it was.
    QTest::addColumn<QByteArray>("after");

    const QByteArray head = UploadJournal::headerLine(header());
    const QByteArray fresh = head;
    const int opened = int(UploadJournal::Opening::Opened);
    const int mismatch = int(UploadJournal::Opening::Mismatch);
    const int notJournal = int(UploadJournal::Opening::NotJournal);
    const QByteArray two = chunk("0", 0, 30) + chunk("3", 90, 100);
    QTest::newRow("absent: created") << QByteArray("<absent>") << false << opened << "" << 0 << fresh;
    // begin fails at the file-size limit of 0, as on a full disk.
    QTest::newRow("absent, no room: none left behind") << QByteArray("<absent>") << false << opened << "" << 0 << QByteArray("<absent>");
    QTest::newRow("stored chunks, past the run's time") << head + two << false << int(UploadJournal::Opening::TimedOut) << "" << 0 << QByteArray();
    QTest::newRow("empty") << QByteArray() << false << opened << "" << 0 << fresh;
    QTest::newRow("a few bytes of a header, not its whole mark") << head.left(20) << false << notJournal << "" << 0 << QByteArray();
    QTest::newRow("torn header, longer than the mark") << head.left(head.size() - 5) << false << opened << "" << 0 << fresh;
    QTest::newRow("stored chunks") << head + two << false << opened << "0 3" << 0 << head + two;
    QTest::newRow("stored chunks, restart") << head + two << true << opened << "" << 0 << fresh;
    QTest::newRow("torn tail cut") << head + two + "{\"index\":1,\"st" << false << opened << "0 3" << 0 << head + two;
    QTest::newRow("another file's data") << QByteArray("data\nmore data\n") << false << notJournal << "" << 0 << QByteArray();
    QTest::newRow("another file's data, restart") << QByteArray("data\nmore data\n") << true << notJournal << "" << 0 << QByteArray();
    QTest::newRow("data without a line feed, restart") << QByteArray("\x7f" "ELF binary") << true << notJournal << "" << 0 << QByteArray();
    QTest::newRow("another program's JSON") << QByteArray("{\"size\":100}\n") << true << notJournal << "" << 0 << QByteArray();
    QTest::newRow("a long first line") << QByteArray(2 << 20, 'x') + '\n' << true << notJournal << "" << 0 << QByteArray();
    QTest::newRow("another file's journal") << UploadJournal::headerLine(header(99)) + two << false << mismatch << "" << 0 << QByteArray();
    QTest::newRow("the journal of several files") << UploadJournal::headerLine(severalHeader()) + fileLine("a", 100) + two << false << mismatch << "" << 0 << QByteArray();
    QTest::newRow("another file's journal with a torn tail") << UploadJournal::headerLine(header(99)) + "{\"ind" << false << mismatch << ""
                                                             << 0 << QByteArray();
    QTest::newRow("an earlier version's journal")
        << QByteArray("{\"chunk_size\":30,\"inode\":\"5\",\"template\":\"t\"}\n") + two << false << mismatch << "" << 0 << QByteArray();
    QTest::newRow("an earlier version's journal, restart")
        << QByteArray("{\"chunk_size\":30,\"inode\":\"5\",\"template\":\"t\"}\n") + two << true << opened << "" << 0 << fresh;
    QTest::newRow("index a string") << head + chunk("\"3\"", 90, 100) << false << opened << "" << 1 << QByteArray();
    QTest::newRow("index null") << head + chunk("null", 0, 30) << false << opened << "" << 1 << QByteArray();
    QTest::newRow("index true") << head + chunk("true", 30, 60) << false << opened << "" << 1 << QByteArray();
    QTest::newRow("index an array") << head + chunk("[2]", 60, 90) << false << opened << "" << 1 << QByteArray();
    QTest::newRow("index a fraction") << head + chunk("0.9", 0, 30) << false << opened << "" << 1 << QByteArray();
    QTest::newRow("index negative") << head + chunk("-0.5", 0, 30) << false << opened << "" << 1 << QByteArray();
    QTest::newRow("index past the last chunk") << head + chunk("4", 120, 130) << false << opened << "" << 1 << QByteArray();
    QTest::newRow("another chunk's range") << head + chunk("1", 0, 30) << false << opened << "" << 1 << QByteArray();
    QTest::newRow("part of a chunk") << head + chunk("1", 30, 50) << false << opened << "" << 1 << QByteArray();
    QTest::newRow("last chunk's end past the file") << head + chunk("3", 90, 120) << false << opened << "" << 1 << QByteArray();
    QTest::newRow("answered 404") << head + chunk("1", 30, 60, 404) << false << opened << "" << 1 << QByteArray();
    QTest::newRow("crc32 as text") << head + "{\"index\":1,\"start\":30,\"end\":60,\"http_status\":201,\"crc32\":\"deadbeef\"}\n" << false
                                   << opened << "" << 1 << QByteArray();
    QTest::newRow("not JSON, then a chunk") << head + "garbage\n" + chunk("2", 60, 90) << false << opened << "2" << 1 << QByteArray();
    QTest::newRow("an overlong line, then a chunk") << head + QByteArray(3 << 20, ' ') + '\n' + chunk("1", 30, 60) << false << opened << "1"
                                                   << 1 << QByteArray();
}

void TestUploadJournal::opening()
{
    QFETCH(QByteArray, content);
    QFETCH(bool, restart);
    QFETCH(int, opening);
    QFETCH(QString, stored);
    QFETCH(int, ignored);
    QFETCH(QByteArray, after);
    const QString path = directory.filePath(QString::fromLatin1(QTest::currentDataTag()));
    const QByteArray tag = QTest::currentDataTag();
    if (content != "<absent>")
        QVERIFY(writeTestFile(path, content));

    UploadJournal journal;
    QByteArray problem;
    const QDeadlineTimer deadline(tag.contains("run's time") ? 0 : -1);
    QCOMPARE(int(journal.open(QFile::encodeName(path), header(), restart, &problem, deadline)), opening);
    QCOMPARE(readAll(path), content);
    if (opening != int(UploadJournal::Opening::Opened)) {
        QVERIFY(opening == int(UploadJournal::Opening::TimedOut) || !problem.isEmpty());
        return;
    }
    if (tag.contains("no room")) {
        struct rlimit limit = {};
        QCOMPARE(::getrlimit(RLIMIT_FSIZE, &limit), 0);
        const struct rlimit none = { 0, limit.rlim_max };
        std::signal(SIGXFSZ, SIG_IGN);
        QCOMPARE(::setrlimit(RLIMIT_FSIZE, &none), 0);
        const bool begun = journal.begin(&problem);
        QCOMPARE(::setrlimit(RLIMIT_FSIZE, &limit), 0);
        QVERIFY(!begun && readAll(path) == after);
        return;
    }
    QStringList found;
    for (qint64 index = -1; index <= 4; ++index)
        if (journal.isStored(index))
            found << QString::number(index);
    QCOMPARE(found.join(QLatin1Char(' ')), stored);
    QCOMPARE(journal.ignoredLines(), qint64(ignored));
    QVERIFY2(journal.begin(&problem), problem.constData());
    QCOMPARE(readAll(path), after.isEmpty() ? content : after);
    struct stat status = {};
    QCOMPARE(::stat(QFile::encodeName(path).constData(), &status), 0);
    // A journal started by the run is its owner's alone.
    if (after == UploadJournal::headerLine(header()))
        QCOMPARE(status.st_mode & 0777, mode_t(0600));
}

// Read a line at a time, at 64-bit offsets: a chunk past 2 GiB still counts.
void TestUploadJournal::largeJournal()
{
    const QByteArray path = QFile::encodeName(directory.filePath(QStringLiteral("large")));
    QVERIFY(writeTestFile(QFile::decodeName(path), UploadJournal::headerLine(header())));
    const int descriptor = ::open(path.constData(), O_WRONLY | O_CLOEXEC);
    QVERIFY(descriptor >= 0);
    const QByteArray tail = '\n' + chunk("2", 60, 90);
    const off_t offset = (off_t(1) << 31) + 7;
    QCOMPARE(::pwrite(descriptor, tail.constData(), size_t(tail.size()), offset), ssize_t(tail.size()));
    ::close(descriptor);
    UploadJournal journal;
    QByteArray problem;
    QCOMPARE(journal.open(path, header(), false, &problem), UploadJournal::Opening::Opened);
    QVERIFY(journal.isStored(2));
    QCOMPARE(journal.ignoredLines(), qint64(1));
}

void TestUploadJournal::severalFiles_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("opening");
    // "file:index" of each stored chunk, files a (100 bytes), b (50) and "\xff" (30).
    QTest::addColumn<QString>("stored");
    QTest::addColumn<int>("ignored");

    const QByteArray head = UploadJournal::headerLine(severalHeader()) + fileLine("a", 100) + fileLine("b", 50);
    const auto of = [](int file, const QByteArray &line) { return "{\"file\":" + QByteArray::number(file) + ',' + line.mid(1); };
    const int opened = int(UploadJournal::Opening::Opened);
    QTest::newRow("each file's chunks") << head + of(0, chunk("3", 90, 100)) + of(1, chunk("1", 30, 50)) << opened << "a:3 b:1" << 0;
    QTest::newRow("a path not UTF-8") << head + fileLine("\xff", 30) + of(2, chunk("0", 0, 30)) << opened << QStringLiteral("\u00ff:0") << 0;
    QTest::newRow("a chunk before its file's line") << UploadJournal::headerLine(severalHeader()) + of(0, chunk("0", 0, 30)) + fileLine("a", 100) << opened << "" << 1;
    QTest::newRow("a file number past the files") << head + of(2, chunk("0", 0, 30)) << opened << "" << 1;
    QTest::newRow("a chunk without its file") << head + chunk("0", 0, 30) << opened << "" << 1;
    QTest::newRow("a chunk past its own file's end") << head + of(1, chunk("2", 60, 90)) << opened << "" << 1;
    QTest::newRow("a path recorded twice: the first counts") << head + fileLine("a", 40) + of(0, chunk("3", 90, 100)) << opened << "a:3" << 1;
    QTest::newRow("a path recorded after a \".\" segment") << UploadJournal::headerLine(severalHeader()) + fileLine("./a", 100) + of(0, chunk("3", 90, 100)) << opened << "a:3" << 0;
    QTest::newRow("a path recorded again after a \".\" segment: later files keep their numbers") << head + fileLine("./a", 100) + fileLine("\xff", 30) + of(3, chunk("0", 0, 30)) << opened << QStringLiteral("\u00ff:0") << 1;
    QTest::newRow("one file's journal") << UploadJournal::headerLine(header()) + chunk("0", 0, 30) << int(UploadJournal::Opening::Mismatch) << "" << 0;
}

// The files recorded, their chunks, and a file added at begin, after what is there.
void TestUploadJournal::severalFiles()
{
    QFETCH(QByteArray, content);
    QFETCH(int, opening);
    QFETCH(QString, stored);
    QFETCH(int, ignored);
    const QString path = directory.filePath(QStringLiteral("several ") + QString::fromLatin1(QTest::currentDataTag()));
    QVERIFY(writeTestFile(path, content));
    UploadJournal journal;
    QByteArray problem;
    QCOMPARE(int(journal.open(QFile::encodeName(path), severalHeader(), false, &problem)), opening);
    if (opening != int(UploadJournal::Opening::Opened))
        return;
    QStringList found;
    for (const QByteArray &name : { QByteArray("a"), QByteArray("b"), QByteArray("\xff") })
        for (qint64 index = -1; index <= 4; ++index)
            if (journal.isStored(journal.recordedFile(name), index))
                found << QString::fromLatin1(name) + QLatin1Char(':') + QString::number(index);
    QCOMPARE(found.join(QLatin1Char(' ')), stored);
    QCOMPARE(journal.ignoredLines(), qint64(ignored));
    QCOMPARE(journal.identityProblem(journal.recordedFile("a"), identity(100)), QByteArray());
    QCOMPARE(journal.identityProblem(journal.recordedFile("a"), identity(101)), QByteArray("its size differs from this run's"));
    const qint64 added = journal.addFile("new", identity(10));
    QCOMPARE(journal.recordedFile("new"), added);
    QVERIFY(!journal.isStored(added, 0));
    QVERIFY2(journal.begin(&problem), problem.constData());
    QCOMPARE(readAll(path), content + fileLine("new", 10));
    // Lines written, then flushed off the thread: the flush covers both.
    const QByteArray line = "{\"file\":" + QByteArray::number(added) + ",\"index\":0}";
    QCOMPARE(journal.write(JournalLine::fromText(line)), qint64(1));
    QCOMPARE(journal.write(JournalLine::fromText(line)), qint64(2));
    QObject context;
    qint64 covered = 0;
    journal.flush(&context, [&covered](qint64 last, bool ok) { covered = ok ? last : -1; });
    QTRY_COMPARE(covered, qint64(2));
    QCOMPARE(readAll(path), content + fileLine("new", 10) + line + '\n' + line + '\n');
}

QTEST_GUILESS_MAIN(TestUploadJournal)
#include "tst_uploadjournal.moc"
