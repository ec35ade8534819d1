#include "utf8text.h"

#include <QtTest>

class TestUtf8Text : public QObject
{
    Q_OBJECT

private slots:
    void validity_data();
    void validity();
    void pieces_data();
    void pieces();
    void sinkRefuses();
};

void TestUtf8Text::validity_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("valid");
    // Each bound of each lead byte, once inside and once outside.
    QTest::newRow("empty") << QByteArray() << true;
    QTest::newRow("ASCII and a NUL") << QByteArray("a\0z", 3) << true;
    QTest::newRow("lowest two bytes") << QByteArray("\xc2\x80") << true;
    QTest::newRow("overlong two bytes") << QByteArray("\xc1\xbf") << false;
    QTest::newRow("highest two bytes") << QByteArray("\xdf\xbf") << true;
    QTest::newRow("lowest three bytes") << QByteArray("\xe0\xa0\x80") << true;
    QTest::newRow("overlong three bytes") << QByteArray("\xe0\x9f\xbf") << false;
    QTest::newRow("last before the surrogates") << QByteArray("\xed\x9f\xbf") << true;
    QTest::newRow("surrogate") << QByteArray("\xed\xa0\x80") << false;
    QTest::newRow("after the surrogates") << QByteArray("\xee\x80\x80") << true;
    QTest::newRow("lowest four bytes") << QByteArray("\xf0\x90\x80\x80") << true;
    QTest::newRow("overlong four bytes") << QByteArray("\xf0\x8f\xbf\xbf") << false;
    QTest::newRow("U+10FFFF") << QByteArray("\xf4\x8f\xbf\xbf") << true;
    QTest::newRow("past U+10FFFF") << QByteArray("\xf4\x90\x80\x80") << false;
    QTest::newRow("lead byte past F4") << QByteArray("\xf5\x80\x80\x80") << false;
    QTest::newRow("lone continuation byte") << QByteArray("a\x80") << false;
    QTest::newRow("FF") << QByteArray("\xff") << false;
    QTest::newRow("cut at the end") << QByteArray("ab\xe2\x82") << false;
    QTest::newRow("second byte not a continuation") << QByteArray("\xe2\x28\xa1") << false;
    QTest::newRow("last byte not a continuation") << QByteArray("\xf0\x90\x80\x41") << false;
}

void TestUtf8Text::validity()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, valid);
    QCOMPARE(Utf8Text::isValid(bytes), valid);
    // Bytes past the given size are not read.
    QCOMPARE(Utf8Text::isValid((bytes + "\xff").constData(), bytes.size()), valid);
}

void TestUtf8Text::pieces_data()
{
    // Bytes placed so that the first piece's end, a mebibyte in, falls "at" bytes into them.
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("at");
    const QByteArray euro = "\xe2\x82\xac";
    const QByteArray clef = "\xf0\x9d\x84\x9e";
    QTest::newRow("three-byte character cut after its lead") << euro << 1;
    QTest::newRow("three-byte character cut before its last byte") << euro << 2;
    QTest::newRow("four-byte character cut before its last byte") << clef << 3;
    QTest::newRow("cut right after a character") << clef << 4;
    QTest::newRow("invalid byte at the cut") << QByteArray("\xff\xfe") << 1;
    QTest::newRow("cut sequence across the cut") << QByteArray("\xe2\x82" "a") << 1;
    QTest::newRow("continuation bytes running past the cut") << QByteArray("\xe2\x82\xac\x80\x80\x80\x80\x80") << 5;
    QTest::newRow("surrogate across the cut") << QByteArray("\xed\xa0\x80") << 2;
}

// The pieces put together are what Qt's decoder makes of the whole, and each is valid UTF-8.
void TestUtf8Text::pieces()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, at);
    const QByteArray text = QByteArray((1 << 20) - at, 'a') + bytes + QByteArray(100, 'z');
    QByteArray joined;
    QList<qint64> sizes;
    const bool converted = Utf8Text::convert(text.constData(), text.size(), [&](const char *data, qint64 size) {
        sizes << size;
        joined += QByteArray(data, int(size));
        return Utf8Text::isValid(data, size);
    });
    QVERIFY(converted);
    QCOMPARE(joined, QString::fromUtf8(text).toUtf8());
    QCOMPARE(sizes.size(), 2);
}

void TestUtf8Text::sinkRefuses()
{
    const QByteArray text(3 << 20, 'a');
    int calls = 0;
    QVERIFY(!Utf8Text::convert(text.constData(), text.size(), [&calls](const char *, qint64) { return ++calls < 2; }));
    QCOMPARE(calls, 2);
}

QTEST_GUILESS_MAIN(TestUtf8Text)
#include "tst_utf8text.moc"
