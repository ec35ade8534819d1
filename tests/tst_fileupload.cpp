#include "curlmulti.h"
#include "fileupload.h"
#include "receiverprocess.h"
#include "testfiles.h"

#include <QtTest>

namespace {

QList<QJsonObject> jsonLines(const QString &path)
{
    QList<QJsonObject> lines;
    QFile file(path);
    if (file.open(QIODevice::ReadOnly))
        for (const QByteArray &line : file.readAll().split('\n'))
            if (!line.isEmpty())
                lines << QJsonDocument::fromJson(line).object();
    return lines;
}

} // namespace

class TestFileUpload : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void runs_data();
    void runs();

private:
    QTemporaryDir directory;
};

void TestFileUpload::initTestCase()
{
    QVERIFY(CurlMulti::initialize());
    QVERIFY(directory.isValid());
    QVERIFY(writeTestFile(directory.filePath(QStringLiteral("whole.bin")), QByteArray(100000, 'w')));
    QVERIFY(writeTestFile(directory.filePath(QStringLiteral("binary.reply")), QByteArray("\xff\xfe\0\x80", 4)));
}

void TestFileUpload::runs_data()
{
    QTest::addColumn<QString>("receiverOptions");
    QTest::addColumn<int>("parallel");
    // "signal first": the run is interrupted before it starts.
    QTest::addColumn<QString>("events");
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("requests");
    // The journal's chunk lines, and which of their reply members holds the reply.
    QTest::addColumn<int>("journaled");
    QTest::addColumn<QString>("replyMember");
    // The --result lines: one per chunk that ended, then the summary.
    QTest::addColumn<int>("chunkLines");
    QTest::addColumn<QString>("summary");

    QTest::newRow("three chunks, a text reply kept") << "" << 2 << "" << 0 << 3 << 3 << "reply" << 3
                                                     << R"({"exit":0,"stored":3,"failed":0,"skipped":0,"bytes":100000,"total_bytes":100000,"done_bytes":100000,"percent":100})";
    QTest::newRow("binary reply kept as base64") << "--body-file BINARY" << 2 << "" << 0 << 3 << 3 << "reply_base64" << 3
                                                 << R"({"exit":0,"stored":3,"failed":0,"skipped":0,"bytes":100000,"total_bytes":100000,"done_bytes":100000,"percent":100})";
    QTest::newRow("reply over 64 KiB not kept") << "--reply-size 65537" << 1 << "" << 0 << 3 << 3 << "" << 3
                                                << R"({"exit":0,"stored":3,"failed":0,"skipped":0,"bytes":100000,"total_bytes":100000,"done_bytes":100000,"percent":100})";
    QTest::newRow("final failure: no new chunk") << "--status 404 --reason Missing" << 1 << "" << 1 << 1 << 0 << "" << 1
                                                 << R"({"exit":1,"stored":0,"failed":1,"skipped":0,"bytes":0,"total_bytes":100000,"done_bytes":0,"percent":0})";
    QTest::newRow("signal first: no chunk sent") << "" << 2 << "signal first" << 130 << 0 << 0 << "" << 0 << "";
}

void TestFileUpload::runs()
{
    QFETCH(QString, receiverOptions);
    QFETCH(int, parallel);
    QFETCH(QString, events);
    QFETCH(int, status);
    QFETCH(int, requests);
    QFETCH(int, journaled);
    QFETCH(QString, replyMember);
    QFETCH(int, chunkLines);
    QFETCH(QString, summary);
    ReceiverProcess receiver(receiverOptions.replace(QLatin1String("BINARY"), directory.filePath(QStringLiteral("binary.reply")))
                                 .split(QLatin1Char(' '), Qt::SkipEmptyParts));
    QVERIFY(receiver.isListening());
    const QString journal = directory.filePath(QStringLiteral("%1.journal").arg(QString::fromLatin1(QTest::currentDataTag())));
    const QString result = directory.filePath(QStringLiteral("%1.jsonl").arg(QString::fromLatin1(QTest::currentDataTag())));
    FileUploadOptions options;
    options.filePath = QFile::encodeName(directory.filePath(QStringLiteral("whole.bin")));
    options.urlTemplate = UrlTemplate("http://127.0.0.1:" + QByteArray::number(receiver.port()) + "/chunk/{index}");
    options.chunkSize = 40000;
    options.parallel = parallel;
    options.settings.retries = 0;
    options.journalPath = QFile::encodeName(journal);
    options.resultPath = QFile::encodeName(result);
    options.quiet = true;
    {
        FileUpload upload(options);
        QSignalSpy finished(&upload, &FileUpload::finished);
        if (events == QLatin1String("signal first"))
            upload.interrupt(ExitStatus(130));
        QVERIFY(upload.start());
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 60000);
        QCOMPARE(int(upload.exitStatus()), status);
        // Nothing can be awaited for a chunk that must not go: a chunk that went would have arrived by now.
        if (requests == 0)
            QVERIFY(!QTest::qWaitFor([&receiver] { return receiver.storedCount() > 0; }, 2000));
    }
    QCOMPARE(receiver.storedCount(), requests);

    const QList<QJsonObject> chunks = jsonLines(journal).mid(1);
    QCOMPARE(chunks.size(), journaled);
    for (const QJsonObject &chunk : chunks) {
        QCOMPARE(chunk.value(QStringLiteral("reply")).isNull(), replyMember != QLatin1String("reply"));
        QCOMPARE(chunk.value(QStringLiteral("reply_base64")).isNull(), replyMember != QLatin1String("reply_base64"));
    }
    QList<QJsonObject> lines = jsonLines(result);
    QCOMPARE(lines.size(), summary.isEmpty() ? 0 : chunkLines + 1);
    if (summary.isEmpty())
        return;
    QJsonObject last = lines.takeLast();
    // Timed: present, not compared.
    QVERIFY(last.value(QStringLiteral("bytes_per_second")).isDouble());
    last.remove(QStringLiteral("seconds"));
    last.remove(QStringLiteral("bytes_per_second"));
    QCOMPARE(last, QJsonDocument::fromJson(summary.toUtf8()).object());
    for (const QJsonObject &line : qAsConst(lines))
        QCOMPARE(line.value(QStringLiteral("exit")).toInt(), status);
}

QTEST_GUILESS_MAIN(TestFileUpload)
#include "tst_fileupload.moc"
