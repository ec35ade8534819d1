#include "uploadsettings.h"

#include "scopedenvironment.h"

#include <QtTest>

#include <limits>

Q_DECLARE_METATYPE(UploadSettings::Program)

class TestUploadSettings : public QObject
{
    Q_OBJECT

private slots:
    void decimal_data();
    void decimal();
    void size_data();
    void size();
    void environment_data();
    void environment();
    void tokenFile_data();
    void tokenFile();
};

void TestUploadSettings::decimal_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<qint64>("value");

    QTest::newRow("digits") << QByteArray("12") << true << qint64(12);
    QTest::newRow("white space and minus") << QByteArray(" \t-5 \n") << true << qint64(-5);
    QTest::newRow("plus") << QByteArray("+7") << true << qint64(7);
    QTest::newRow("leading zeros") << QByteArray("0007") << true << qint64(7);
    QTest::newRow("highest") << QByteArray("9223372036854775807") << true << std::numeric_limits<qint64>::max();
    QTest::newRow("lowest") << QByteArray("-9223372036854775808") << true << std::numeric_limits<qint64>::min();
    QTest::newRow("one past highest") << QByteArray("9223372036854775808") << false << qint64(0);
    QTest::newRow("one past lowest") << QByteArray("-9223372036854775809") << false << qint64(0);
    QTest::newRow("huge") << QByteArray("99999999999999999999999") << false << qint64(0);
    QTest::newRow("trailing letters") << QByteArray("12ab") << false << qint64(0);
    QTest::newRow("letters") << QByteArray("abc") << false << qint64(0);
    QTest::newRow("empty") << QByteArray("") << false << qint64(0);
    QTest::newRow("sign only") << QByteArray("-") << false << qint64(0);
    QTest::newRow("two signs") << QByteArray("--5") << false << qint64(0);
    QTest::newRow("inner space") << QByteArray("1 2") << false << qint64(0);
    QTest::newRow("hexadecimal") << QByteArray("0x10") << false << qint64(0);
    QTest::newRow("fraction") << QByteArray("1.5") << false << qint64(0);
}

void TestUploadSettings::decimal()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, valid);
    QFETCH(qint64, value);
    qint64 parsed = 42;
    QCOMPARE(UploadSettings::parseDecimal(text, &parsed), valid);
    QCOMPARE(parsed, valid ? value : qint64(42));
}

void TestUploadSettings::size_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<qint64>("bytes");

    QTest::newRow("bytes") << QByteArray("1") << qint64(1);
    QTest::newRow("kibibytes") << QByteArray("8K") << qint64(8192);
    QTest::newRow("mebibytes, spaces around") << QByteArray(" 25M ") << qint64(25) * 1024 * 1024;
    QTest::newRow("4 GiB") << QByteArray("4G") << (qint64(4) << 30);
    QTest::newRow("4 GiB in bytes") << QByteArray("4294967296") << (qint64(4) << 30);
    QTest::newRow("a byte over 4 GiB") << QByteArray("4294967297") << qint64(0);
    QTest::newRow("over 4 GiB in mebibytes") << QByteArray("4097M") << qint64(0);
    QTest::newRow("zero") << QByteArray("0") << qint64(0);
    QTest::newRow("small letters") << QByteArray("8m") << qint64(8) * 1024 * 1024;
    QTest::newRow("small k") << QByteArray("1k") << qint64(1024);
    QTest::newRow("other letter") << QByteArray("8x") << qint64(0);
    QTest::newRow("sign") << QByteArray("+8M") << qint64(0);
    QTest::newRow("fraction") << QByteArray("1.5M") << qint64(0);
    QTest::newRow("unit only") << QByteArray("K") << qint64(0);
    QTest::newRow("empty") << QByteArray("") << qint64(0);
}

// 0 for a size refused.
void TestUploadSettings::size()
{
    QFETCH(QByteArray, text);
    QFETCH(qint64, bytes);
    qint64 parsed = -1;
    QCOMPARE(UploadSettings::parseSize(text, &parsed), bytes > 0);
    QCOMPARE(parsed, bytes > 0 ? bytes : qint64(-1));
}

void TestUploadSettings::environment_data()
{
    QTest::addColumn<UploadSettings::Program>("program");
    QTest::addColumn<QStringList>("given");
    QTest::addColumn<QByteArray>("failure");
    // idle time, retries, run time, rate.
    QTest::addColumn<QList<qint64>>("values");
    QTest::addColumn<QByteArray>("resultPath");

    const auto uploader = UploadSettings::Program::Uploader;
    const auto file = UploadSettings::Program::UploaderFile;
    const QList<qint64> defaults{ 900, 0, 0, 0 };
    QTest::newRow("none") << uploader << QStringList() << QByteArray() << defaults << QByteArray();
    QTest::newRow("each set") << uploader
                              << QStringList{ QStringLiteral("UPLOADER_IDLE_TIMEOUT=0"), QStringLiteral("UPLOADER_RETRIES=100"),
                                              QStringLiteral("UPLOADER_MAX_TIME=2147483647"), QStringLiteral("UPLOADER_LIMIT_RATE=25M"),
                                              QStringLiteral("UPLOADER_RESULT=-") }
                              << QByteArray() << QList<qint64>{ 0, 100, 2147483647, 25 << 20 } << QByteArray("-");
    QTest::newRow("idle time not a number") << uploader << QStringList{ QStringLiteral("UPLOADER_IDLE_TIMEOUT=abc") }
                                            << QByteArray(" >> Invalid UPLOADER_IDLE_TIMEOUT: \"abc\" ") << defaults << QByteArray();
    QTest::newRow("idle time negative, uploader-file") << file << QStringList{ QStringLiteral("UPLOADER_IDLE_TIMEOUT=-1") }
                                                       << QByteArray(" >> Invalid UPLOADER_IDLE_TIMEOUT: \"-1\" ") << defaults
                                                       << QByteArray();
    QTest::newRow("idle time past an int") << uploader << QStringList{ QStringLiteral("UPLOADER_IDLE_TIMEOUT=2147483648") }
                                           << QByteArray(" >> Invalid UPLOADER_IDLE_TIMEOUT: \"2147483648\" ") << defaults << QByteArray();
    QTest::newRow("retries over 100") << uploader << QStringList{ QStringLiteral("UPLOADER_RETRIES=101") }
                                      << QByteArray(" >> Invalid UPLOADER_RETRIES: \"101\" ") << defaults << QByteArray();
    QTest::newRow("run time with letters") << uploader << QStringList{ QStringLiteral("UPLOADER_MAX_TIME=5s") }
                                           << QByteArray(" >> Invalid UPLOADER_MAX_TIME: \"5s\" ") << defaults << QByteArray();
    QTest::newRow("rate zero") << uploader << QStringList{ QStringLiteral("UPLOADER_LIMIT_RATE=0") }
                               << QByteArray(" >> Invalid UPLOADER_LIMIT_RATE: \"0\" ") << defaults << QByteArray();
    // Its options stand for these; a variable meant for uploader must not stop it.
    QTest::newRow("uploader's own, uploader-file") << file
                                                   << QStringList{ QStringLiteral("UPLOADER_RETRIES=x"), QStringLiteral("UPLOADER_MAX_TIME=x"),
                                                                   QStringLiteral("UPLOADER_LIMIT_RATE=x"), QStringLiteral("UPLOADER_RESULT=r") }
                                                   << QByteArray() << defaults << QByteArray();
    QTest::newRow("first bad one, result still read") << uploader
                                                      << QStringList{ QStringLiteral("UPLOADER_RETRIES=x"), QStringLiteral("UPLOADER_IDLE_TIMEOUT=y"),
                                                                      QStringLiteral("UPLOADER_RESULT=r.json") }
                                                      << QByteArray(" >> Invalid UPLOADER_IDLE_TIMEOUT: \"y\" ") << defaults
                                                      << QByteArray("r.json");
}

void TestUploadSettings::environment()
{
    QFETCH(UploadSettings::Program, program);
    QFETCH(QStringList, given);
    QFETCH(QByteArray, failure);
    QFETCH(QList<qint64>, values);
    QFETCH(QByteArray, resultPath);
    const ScopedEnvironment scope(given);

    UploadSettings settings;
    QByteArray line;
    QCOMPARE(settings.readEnvironment(program, &line), failure.isEmpty());
    QCOMPARE(line, failure);
    if (failure.isEmpty())
        QCOMPARE((QList<qint64>{ settings.idleTimeout, settings.retries, settings.maxTime, settings.limitRate }), values);
    QCOMPARE(settings.resultPath, resultPath);
}

void TestUploadSettings::tokenFile_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QByteArray>("token");
    QTest::addColumn<QByteArray>("failure");

    QTest::newRow("line feed") << QByteArray("s3cret\n") << QByteArray("s3cret") << QByteArray();
    QTest::newRow("every trailing CR and LF") << QByteArray("s3cret\r\n\n\r") << QByteArray("s3cret") << QByteArray();
    QTest::newRow("inner line feed kept") << QByteArray("a\nb\n") << QByteArray("a\nb") << QByteArray();
    QTest::newRow("empty") << QByteArray("") << QByteArray("") << QByteArray();
    QTest::newRow("64 KiB") << QByteArray(65536, 't') << QByteArray(65536, 't') << QByteArray();
    QTest::newRow("a byte more") << QByteArray(65537, 't') << QByteArray()
                                 << QByteArray(" >> Invalid --token-file: \"@\" holds more than 65536 bytes ");
    QTest::newRow("missing") << QByteArray() << QByteArray() << QByteArray(" >> Cannot read --token-file: \"@\" ");
}

// A null content stands for a file that is not there; @ in the line for its path.
void TestUploadSettings::tokenFile()
{
    QFETCH(QByteArray, content);
    QFETCH(QByteArray, token);
    QFETCH(QByteArray, failure);
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("token"));
    if (!content.isNull()) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(content) == content.size());
    }

    UploadSettings settings;
    QByteArray line;
    QCOMPARE(settings.readTokenFile(path, &line), failure.isEmpty());
    QCOMPARE(line, QByteArray(failure).replace('@', path.toUtf8()));
    if (failure.isEmpty())
        QCOMPARE(settings.apiToken, token);
}

QTEST_GUILESS_MAIN(TestUploadSettings)
#include "tst_uploadsettings.moc"
