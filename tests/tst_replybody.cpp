#include "replybody.h"

#include <QtTest>

#include <zlib.h>

namespace {

// windowBits as zlib takes them: 31 gzip, 15 zlib, -15 raw deflate.
QByteArray compressed(const QByteArray &bytes, int windowBits)
{
    z_stream stream = {};
    deflateInit2(&stream, 9, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY);
    QByteArray out(int(deflateBound(&stream, uLong(bytes.size()))) + 32, '\0');
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(bytes.constData()));
    stream.avail_in = uInt(bytes.size());
    stream.next_out = reinterpret_cast<Bytef *>(out.data());
    stream.avail_out = uInt(out.size());
    deflate(&stream, Z_FINISH);
    out.resize(int(stream.total_out));
    deflateEnd(&stream);
    return out;
}

} // namespace

class TestReplyBody : public QObject
{
    Q_OBJECT

private slots:
    void inflation_data();
    void inflation();
};

void TestReplyBody::inflation_data()
{
    QTest::addColumn<QByteArray>("encoding");
    QTest::addColumn<QByteArray>("received");
    QTest::addColumn<int>("piece");
    QTest::addColumn<bool>("withinCap");
    QTest::addColumn<QByteArray>("bytes");

    const QByteArray text = "{\"status_code\":201}";
    const QByteArray gzip = compressed(text, 31);
    QTest::newRow("identity") << QByteArray() << text << 3 << true << text;
    QTest::newRow("gzip, a byte at a time") << QByteArray(" GZip ") << gzip << 1 << true << text;
    QTest::newRow("x-gzip") << QByteArray("x-gzip") << gzip << 1000 << true << text;
    QTest::newRow("gzip, two members") << QByteArray("gzip") << gzip + compressed("more", 31) << 5 << true << text + "more";
    QTest::newRow("gzip, then bytes that are not") << QByteArray("gzip") << gzip + "junk" << 1000 << true << gzip + "junk";
    QTest::newRow("gzip cut short") << QByteArray("gzip") << gzip.left(gzip.size() - 4) << 1000 << true << gzip.left(gzip.size() - 4);
    QTest::newRow("deflate as zlib") << QByteArray("deflate") << compressed(text, 15) << 1 << true << text;
    QTest::newRow("deflate sent raw") << QByteArray("deflate") << compressed(text, -15) << 2 << true << text;
    QTest::newRow("said gzip, is not") << QByteArray("gzip") << text << 1000 << true << text;
    QTest::newRow("received over the cap") << QByteArray() << QByteArray(ReplyBody::maximumSize + 1, 'x') << (1 << 20) << false << QByteArray();
    QTest::newRow("received at the cap") << QByteArray() << QByteArray(ReplyBody::maximumSize, 'x') << (1 << 20) << true
                                         << QByteArray(ReplyBody::maximumSize, 'x');
    // 64 MiB and one byte of zeros inflate from a small body.
    QTest::newRow("inflated over the cap") << QByteArray("gzip") << compressed(QByteArray(ReplyBody::maximumSize + 1, '\0'), 31)
                                           << (1 << 16) << false << QByteArray();
    QTest::newRow("inflated at the cap") << QByteArray("gzip") << compressed(QByteArray(ReplyBody::maximumSize, '\0'), 31)
                                         << (1 << 16) << true << QByteArray(ReplyBody::maximumSize, '\0');
}

void TestReplyBody::inflation()
{
    QFETCH(QByteArray, encoding);
    QFETCH(QByteArray, received);
    QFETCH(int, piece);
    QFETCH(bool, withinCap);
    QFETCH(QByteArray, bytes);
    ReplyBody body;
    body.start(encoding);
    bool taken = true;
    for (int from = 0; taken && from < received.size(); from += piece)
        taken = body.append(received.mid(from, piece));
    QCOMPARE(taken, withinCap);
    if (withinCap)
        QCOMPARE(body.bytes(), bytes);
}

QTEST_GUILESS_MAIN(TestReplyBody)
#include "tst_replybody.moc"
