#include "chunklayout.h"
#include "urltemplate.h"

#include <QtTest>

class TestUrlTemplate : public QObject
{
    Q_OBJECT

private slots:
    void problem_data();
    void problem();
    void address_data();
    void address();
};

void TestUrlTemplate::problem_data()
{
    QTest::addColumn<QByteArray>("pattern");
    QTest::addColumn<qint64>("fileSize");
    QTest::addColumn<qint64>("chunkSize");
    QTest::addColumn<QByteArray>("problem");
    QTest::newRow("index in the path") << QByteArray("http://h/u/{index}") << qint64(20) << qint64(9) << QByteArray();
    QTest::newRow("start in the query, with a user") << QByteArray("https://u:p@h:8443/u?at={start}&n={size}") << qint64(20) << qint64(9)
                                                      << QByteArray();
    QTest::newRow("index in the host") << QByteArray("http://n{index}.example/") << qint64(20) << qint64(9) << QByteArray();
    QTest::newRow("unknown placeholder") << QByteArray("http://h/{index}/{offset}") << qint64(20) << qint64(9)
                                         << QByteArray("unknown placeholder {offset}");
    QTest::newRow("one address for every chunk") << QByteArray("http://h/u?n={size}") << qint64(20) << qint64(9)
                                                 << QByteArray("neither {index} nor {start}: every chunk would go to the same address");
    QTest::newRow("placeholder in the fragment") << QByteArray("http://h/u#{start}") << qint64(20) << qint64(9)
                                                 << QByteArray("a placeholder in the user part or the fragment");
    QTest::newRow("placeholder in the user part") << QByteArray("http://u{index}:p@h/u") << qint64(20) << qint64(9)
                                                  << QByteArray("a placeholder in the user part or the fragment");
    QTest::newRow("size makes the port too large") << QByteArray("http://127.0.0.1:6553{size}/{index}") << qint64(20) << qint64(9)
                                                   << QByteArray("not a usable address: http://127.0.0.1:65539/0");
    QTest::newRow("only the last chunk's port is bad") << QByteArray("http://127.0.0.1:6553{index}/") << qint64(60) << qint64(9)
                                                       << QByteArray("not a usable address: http://127.0.0.1:65536/");
    QTest::newRow("every figure, port 0 for an empty file") << QByteArray("http://h:{size}/{index}/{start}-{end}/{count}/{total}") << qint64(0)
                                                            << qint64(9) << QByteArray("not a usable address: http://h:0/0/0-0/1/0");
    QTest::newRow("empty port for a placeholder of nothing") << QByteArray("http://h:{size}/{index}") << qint64(0) << qint64(9)
                                                             << QByteArray("not a usable address: http://h:0/0");
    QTest::newRow("{name} and {path} known") << QByteArray("http://h/{path}/{name}/{index}") << qint64(20) << qint64(9) << QByteArray();
    QTest::newRow("password masked in the problem") << QByteArray("http://u:secret@h:7{size}0000/{index}") << qint64(20) << qint64(9)
                                                    << QByteArray("not a usable address: http://u:***@h:790000/0");
}

// The first, a full and the last chunk are checked before anything is sent.
void TestUrlTemplate::problem()
{
    QFETCH(QByteArray, pattern);
    QFETCH(qint64, fileSize);
    QFETCH(qint64, chunkSize);
    QFETCH(QByteArray, problem);
    QCOMPARE(UrlTemplate(pattern).problem(ChunkLayout(fileSize, chunkSize)), problem);
}

void TestUrlTemplate::address_data()
{
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<QByteArray>("address");
    QTest::newRow("unreserved bytes kept") << QByteArray("Az09-._~") << QByteArray("http://h/Az09-._~/Az09-._~");
    QTest::newRow("a folder, a leading ./ dropped") << QByteArray("./d/a b+c.bin") << QByteArray("http://h/a%20b%2Bc.bin/d/a%20b%2Bc.bin");
    QTest::newRow("not UTF-8, a newline, a percent") << QByteArray("\xff\n%/x") << QByteArray("http://h/x/%FF%0A%25/x");
    QTest::newRow("dot segments encoded: not resolved away") << QByteArray("../a/./b") << QByteArray("http://h/b/%2E%2E/a/%2E/b");
    QTest::newRow("an absolute path") << QByteArray("/tmp/?#") << QByteArray("http://h/%3F%23//tmp/%3F%23");
}

// {name} is the last segment, {path} every segment, each percent-encoded.
void TestUrlTemplate::address()
{
    QFETCH(QByteArray, path);
    QFETCH(QByteArray, address);
    QCOMPARE(UrlTemplate("http://h/{name}/{path}").address(ChunkLayout(1, 1), 0, path), address);
}

QTEST_GUILESS_MAIN(TestUrlTemplate)
#include "tst_urltemplate.moc"
