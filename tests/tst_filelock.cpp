#include "filelock.h"
#include "testfiles.h"

#include <QtTest>

#include <fcntl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

class TestFileLock : public QObject
{
    Q_OBJECT

private slots:
    void holder_data();
    void holder();
    void heldHere();

private:
    QTemporaryDir directory;
};

void TestFileLock::holder_data()
{
    QTest::addColumn<QByteArray>("locks");
    QTest::addColumn<uint>("major");
    QTest::addColumn<qint64>("holder");

    const QByteArray held = "1: FLOCK  ADVISORY  WRITE 4711 08:01:1234 0 EOF\n";
    QTest::newRow("held") << QByteArray("1: POSIX  ADVISORY  WRITE 99 08:01:77 0 EOF\n") + held << 8u << qint64(4711);
    QTest::newRow("device in hex, past two digits") << QByteArray("2: FLOCK  ADVISORY  WRITE 4711 103:01:1234 0 EOF\n") << 0x103u << qint64(4711);
    QTest::newRow("a waiter holds nothing") << QByteArray("1: -> FLOCK  ADVISORY  WRITE 4712 08:01:1234 0 EOF\n") << 8u << qint64(0);
    QTest::newRow("a POSIX lock is no flock") << QByteArray("1: POSIX  ADVISORY  WRITE 4711 08:01:1234 0 EOF\n") << 8u << qint64(0);
    QTest::newRow("an inode that starts alike") << QByteArray("1: FLOCK  ADVISORY  WRITE 4711 08:01:12345 0 EOF\n") << 8u << qint64(0);
    QTest::newRow("another device") << held << 9u << qint64(0);
    QTest::newRow("no list") << QByteArray("<absent>") << 8u << qint64(0);
}

void TestFileLock::holder()
{
    QFETCH(QByteArray, locks);
    QFETCH(uint, major);
    QFETCH(qint64, holder);
    const QString path = directory.filePath(QString::fromLatin1(QTest::currentDataTag()));
    if (locks != "<absent>")
        QVERIFY(writeTestFile(path, locks));
    struct stat file = {};
    file.st_dev = makedev(major, 1);
    file.st_ino = 1234;
    QCOMPARE(FileLock::holder(file, path), holder);
}

// The kernel's own list names this process as the holder.
void TestFileLock::heldHere()
{
    const QByteArray path = QFile::encodeName(directory.filePath(QStringLiteral("locked")));
    const int descriptor = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    QVERIFY(descriptor >= 0);
    struct stat file = {};
    QCOMPARE(::fstat(descriptor, &file), 0);
    QCOMPARE(FileLock::holder(file), qint64(0));
    QVERIFY(FileLock::take(descriptor));
    QCOMPARE(FileLock::holder(file), QCoreApplication::applicationPid());
    ::close(descriptor);
}

QTEST_GUILESS_MAIN(TestFileLock)
#include "tst_filelock.moc"
