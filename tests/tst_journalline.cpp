#include "chunklayout.h"
#include "journalline.h"
#include "uploadresult.h"

#include <QtTest>

using Headers = QList<QPair<QByteArray, QByteArray>>;

class TestJournalLine : public QObject
{
    Q_OBJECT

private slots:
    void written_data();
    void written();
    void storedChunk_data();
    void storedChunk();
};

void TestJournalLine::written_data()
{
    QTest::addColumn<Headers>("headers");
    QTest::addColumn<QByteArray>("reply");
    // What follows "http_status":201,"index":1, in the line.
    QTest::addColumn<QByteArray>("tail");

    const Headers none;
    const Headers etag{ { "etag", "\"v1\"" } };
    QTest::newRow("text reply, ETag in any case") << etag << QByteArray("{\"id\":7}") << QByteArray(R"("reply":"{\"id\":7}","reply_base64":null)");
    QTest::newRow("binary reply as base64") << none << QByteArray("\xff\xfe") << QByteArray(R"("reply":null,"reply_base64":"//4=")");
    QTest::newRow("reply of 64 KiB kept") << none << QByteArray(64 << 10, 'a') << R"("reply":")" + QByteArray(64 << 10, 'a') + R"(","reply_base64":null)";
    QTest::newRow("reply over 64 KiB not kept") << none << QByteArray((64 << 10) + 1, 'a') << QByteArray(R"("reply":null,"reply_base64":null)");
}

// The line as written, and read back as the chunk it stores.
void TestJournalLine::written()
{
    QFETCH(Headers, headers);
    QFETCH(QByteArray, reply);
    QFETCH(QByteArray, tail);
    UploadResult stored;
    stored.index = 1;
    stored.start = 30;
    stored.end = 60;
    stored.httpStatus = 201;
    stored.headers = headers;
    stored.reply = reply;
    const QByteArray etag = headers.isEmpty() ? "null" : R"("\"v1\"")";
    const QByteArray text = JournalLine(stored, 0xdeadbeef).toJson();
    QCOMPARE(text, R"({"crc32":3735928559,"end":60,"etag":)" + etag + R"(,"http_status":201,"index":1,)" + tail + R"(,"start":30})");
    QCOMPARE(JournalLine::fromText(text).storedChunk(ChunkLayout(100, 30)), qint64(1));
}

void TestJournalLine::storedChunk_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<qint64>("chunk");

    QTest::newRow("last chunk, shorter") << QByteArray(R"({"index":3,"start":90,"end":100,"http_status":200,"crc32":0})") << qint64(3);
    QTest::newRow("answered 299") << QByteArray(R"({"index":0,"start":0,"end":30,"http_status":299,"crc32":0})") << qint64(0);
    QTest::newRow("answered 199") << QByteArray(R"({"index":0,"start":0,"end":30,"http_status":199,"crc32":0})") << qint64(-1);
    QTest::newRow("answered 300") << QByteArray(R"({"index":0,"start":0,"end":30,"http_status":300,"crc32":0})") << qint64(-1);
    QTest::newRow("crc32 at its largest") << QByteArray(R"({"index":1,"start":30,"end":60,"http_status":201,"crc32":4294967295})") << qint64(1);
    QTest::newRow("crc32 past 32 bits") << QByteArray(R"({"index":1,"start":30,"end":60,"http_status":201,"crc32":4294967296})") << qint64(-1);
    QTest::newRow("crc32 missing") << QByteArray(R"({"index":1,"start":30,"end":60,"http_status":201})") << qint64(-1);
    QTest::newRow("start a fraction") << QByteArray(R"({"index":1,"start":30.5,"end":60,"http_status":201,"crc32":0})") << qint64(-1);
    QTest::newRow("an array") << QByteArray(R"([1,30,60,201,0])") << qint64(-1);
}

void TestJournalLine::storedChunk()
{
    QFETCH(QByteArray, text);
    QFETCH(qint64, chunk);
    QCOMPARE(JournalLine::fromText(text).storedChunk(ChunkLayout(100, 30)), chunk);
}

QTEST_GUILESS_MAIN(TestJournalLine)
#include "tst_journalline.moc"
