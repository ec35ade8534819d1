#include "pathcheck.h"
#include "testfiles.h"

#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

class TestPathCheck : public QObject
{
    Q_OBJECT

private slots:
    void sameFile_data();
    void sameFile();
    void foreignLink_data();
    void foreignLink();

private:
    QTemporaryDir directory;
};

void TestPathCheck::sameFile_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QString>("second");
    QTest::addColumn<bool>("same");
    // The first path is always "file", which exists; "new" and "other" are names in the same folder.
    QTest::newRow("itself") << "" << "file" << true;
    QTest::newRow("another spelling") << "" << "./sub/../file" << true;
    QTest::newRow("a link to it") << "link:file>linked" << "linked" << true;
    QTest::newRow("a link to a link to it") << "link:file>first link:first>second" << "second" << true;
    QTest::newRow("a hard link") << "hard:file>hard" << "hard" << true;
    QTest::newRow("another file") << "write:other" << "other" << false;
    QTest::newRow("a name still to be created") << "" << "new" << false;
    QTest::newRow("a dangling link that would create another file") << "link:missing>dangling" << "dangling" << false;
    QTest::newRow("a missing folder") << "" << "missing/file" << false;
}

// Two names still to be created compare by where they would be made.
void TestPathCheck::sameFile()
{
    QFETCH(QString, setup);
    QFETCH(QString, second);
    QFETCH(bool, same);
    QTemporaryDir folder(directory.filePath(QStringLiteral("XXXXXX")));
    QVERIFY(QDir(folder.path()).mkdir(QStringLiteral("sub")));
    QVERIFY(writeTestFile(folder.filePath(QStringLiteral("file")), "content"));
    for (const QString &step : setup.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        const QStringList parts = step.section(QLatin1Char(':'), 1).split(QLatin1Char('>'));
        const QByteArray from = QFile::encodeName(folder.filePath(parts.value(0)));
        const QByteArray to = QFile::encodeName(folder.filePath(parts.value(1)));
        if (step.startsWith(QLatin1String("link:")))
            QCOMPARE(::symlink(parts.value(0).toUtf8().constData(), to.constData()), 0);
        else if (step.startsWith(QLatin1String("hard:")))
            QCOMPARE(::link(from.constData(), to.constData()), 0);
        else
            QVERIFY(writeTestFile(QFile::decodeName(from), "other"));
    }
    const QByteArray first = QFile::encodeName(folder.filePath(QStringLiteral("file")));
    QCOMPARE(PathCheck::isSameFile(first, QFile::encodeName(folder.filePath(second))), same);
    QVERIFY(PathCheck::isSameFile(QFile::encodeName(folder.filePath(QStringLiteral("new"))),
                                  QFile::encodeName(folder.filePath(QStringLiteral("sub/../new")))));
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
    QCOMPARE(::symlink(onTheWay ? ".." : "../target", link.constData()), 0);
    QCOMPARE(::lchown(link.constData(), linkOwner, linkOwner), 0);
    QCOMPARE(::chown(folder.constData(), folderOwner, folderOwner), 0);
    QCOMPARE(::chmod(folder.constData(), mode_t(folderMode)), 0);
    if (onTheWay)
        link += "/target";
    if (tag.contains("through a link")) {
        QCOMPARE(::symlink(link.constData(), (folder + "-mine").constData()), 0);
        link = folder + "-mine";
    }
    QCOMPARE(PathCheck::isForeignLink(link), foreign);
    QVERIFY(!PathCheck::isForeignLink(QFile::encodeName(directory.filePath(QStringLiteral("target")))));
}

QTEST_GUILESS_MAIN(TestPathCheck)
#include "tst_pathcheck.moc"
