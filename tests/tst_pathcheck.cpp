#include "pathcheck.h"
#include "testfiles.h"

#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

class TestPathCheck : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void sameFile_data();
    void sameFile();
    void foreignLink_data();
    void foreignLink();

private:
    QTemporaryDir directory;
};

// One folder for every row: file, other, sub/, links and a hard link to file, two dangling links.
void TestPathCheck::initTestCase()
{
    QVERIFY(QDir(directory.path()).mkdir(QStringLiteral("sub")));
    QVERIFY(writeTestFile(directory.filePath(QStringLiteral("file")), "content"));
    QVERIFY(writeTestFile(directory.filePath(QStringLiteral("other")), "other"));
    const char *const links[][2] = { { "file", "linked" }, { "linked", "second" }, { "missing", "dangling" }, { "new", "to-new" } };
    for (const auto &link : links)
        QCOMPARE(::symlink(link[0], QFile::encodeName(directory.filePath(QString::fromLatin1(link[1]))).constData()), 0);
    QCOMPARE(::link(QFile::encodeName(directory.filePath(QStringLiteral("file"))).constData(),
                    QFile::encodeName(directory.filePath(QStringLiteral("hard"))).constData()), 0);
}

void TestPathCheck::sameFile_data()
{
    QTest::addColumn<QString>("first");
    QTest::addColumn<QString>("second");
    QTest::addColumn<bool>("same");
    QTest::newRow("itself") << "file" << "file" << true;
    QTest::newRow("another spelling") << "file" << "./sub/../file" << true;
    QTest::newRow("a link to it") << "file" << "linked" << true;
    QTest::newRow("a link to a link to it") << "file" << "second" << true;
    QTest::newRow("a hard link") << "file" << "hard" << true;
    QTest::newRow("another file") << "file" << "other" << false;
    QTest::newRow("a name still to be created") << "file" << "new" << false;
    QTest::newRow("two spellings of a name still to be created") << "new" << "sub/../new" << true;
    QTest::newRow("a dangling link and the file it would create") << "to-new" << "new" << true;
    QTest::newRow("a dangling link that would create another file") << "dangling" << "new" << false;
    QTest::newRow("a missing folder") << "missing/file" << "missing/file" << false;
}

void TestPathCheck::sameFile()
{
    QFETCH(QString, first);
    QFETCH(QString, second);
    QFETCH(bool, same);
    QCOMPARE(PathCheck::isSameFile(QFile::encodeName(directory.filePath(first)), QFile::encodeName(directory.filePath(second))), same);
}

void TestPathCheck::foreignLink_data()
{
    QTest::addColumn<int>("folderMode");
    QTest::addColumn<uint>("folderOwner");
    QTest::addColumn<uint>("linkOwner");
    QTest::addColumn<bool>("foreign");
    const uint self = ::geteuid();
    QTest::newRow("a stranger's link in a shared sticky folder") << 01777 << self << 4242u << true;
    QTest::newRow("the caller's own link") << 01777 << 4343u << self << false;
    QTest::newRow("the folder owner's link") << 01777 << 4343u << 4343u << false;
    QTest::newRow("a folder without the sticky bit") << 0777 << self << 4242u << false;
    QTest::newRow("a sticky folder others cannot write") << 01775 << self << 4242u << false;
    QTest::newRow("a stranger's link to a folder, on the way") << 01777 << self << 4242u << true;
    QTest::newRow("a stranger's link, reached through a link of the caller's") << 01777 << self << 4242u << true;
    QTest::newRow("a stranger's file in a shared sticky folder") << 01777 << self << 4242u << true;
    QTest::newRow("the folder owner's file") << 01777 << 4343u << 4343u << false;
    QTest::newRow("a stranger's file, reached through a link of the caller's") << 01777 << self << 4242u << true;
}

void TestPathCheck::foreignLink()
{
    QFETCH(int, folderMode);
    QFETCH(uint, folderOwner);
    QFETCH(uint, linkOwner);
    QFETCH(bool, foreign);
    if (::geteuid() != 0)
        QSKIP("giving a link to another user needs root");
    const QByteArray folder = QFile::encodeName(directory.filePath(QString::fromLatin1(QTest::currentDataTag())));
    QCOMPARE(::mkdir(folder.constData(), 0700), 0);
    const QByteArray tag = QTest::currentDataTag();
    const bool onTheWay = tag.contains("on the way");
    QByteArray link = folder + (onTheWay ? "/folder" : "/result.json");
    QVERIFY(writeTestFile(directory.filePath(QStringLiteral("target")), "mine"));
    const bool file = tag.contains("'s file");
    QVERIFY(file ? writeTestFile(QFile::decodeName(link), "theirs") : ::symlink(onTheWay ? ".." : "../target", link.constData()) == 0);
    QCOMPARE(::lchown(link.constData(), linkOwner, linkOwner), 0);
    QCOMPARE(::chown(folder.constData(), folderOwner, folderOwner), 0);
    QCOMPARE(::chmod(folder.constData(), mode_t(folderMode)), 0);
    if (onTheWay)
        link += "/target";
    if (tag.contains("through a link")) {
        QCOMPARE(::symlink(link.constData(), (folder + "-mine").constData()), 0);
        link = folder + "-mine";
    }
    int descriptor = -1;
    struct stat status = {};
    QCOMPARE(file ? PathCheck::open(link, O_RDONLY, true, &descriptor, &status) == PathCheck::Found::ForeignFile : PathCheck::isForeignLink(link), foreign);
    ::close(descriptor);
    QVERIFY(!PathCheck::isForeignLink(QFile::encodeName(directory.filePath(QStringLiteral("target")))));
}

QTEST_GUILESS_MAIN(TestPathCheck)
#include "tst_pathcheck.moc"
