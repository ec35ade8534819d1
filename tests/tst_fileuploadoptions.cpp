#include "fileuploadoptions.h"
#include "messagecapture.h"

#include "scopedenvironment.h"

#include <QtTest>

namespace {

// The parsed values a row checks, in one line.
QString describe(const FileUploadOptions &options)
{
    const UploadSettings &settings = options.settings;
    return QStringLiteral("chunk %1 parallel %2 retries %3 retry-time %4 max-time %5 rate %6 idle %7 proxy %8:%9 journal %10 token %11")
        .arg(options.chunkSize)
        .arg(options.parallel)
        .arg(settings.retries)
        .arg(options.retryTime)
        .arg(settings.maxTime)
        .arg(settings.limitRate)
        .arg(settings.idleTimeout)
        .arg(QString::fromUtf8(settings.proxyHost))
        .arg(settings.proxyPort)
        .arg(QString::fromUtf8(options.journalPath))
        .arg(QString::fromUtf8(settings.apiToken.isNull() ? QByteArray("(none)") : settings.apiToken));
}

} // namespace

class TestFileUploadOptions : public QObject
{
    Q_OBJECT

private slots:
    void commandLine_data();
    void commandLine();
};

void TestFileUploadOptions::commandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("given");
    // Empty when the line is usable.
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("parsed");

    const QStringList positional{ QStringLiteral("http://h/{index}"), QStringLiteral("f") };
    const auto with = [&positional](const QString &option, const QString &value) { return QStringList{ option, value } + positional; };
    const QString defaults = QStringLiteral("chunk 8388608 parallel 4 retries 5 retry-time 900 max-time 0 rate 0 idle 900 proxy :0 "
                                            "journal f.upload-journal token ");
    const auto changed = [&defaults](const QString &from, const QString &to) { return QString(defaults).replace(from, to); };

    QTest::newRow("defaults, token sent empty") << positional << QStringList() << QString() << defaults;
    QTest::newRow("each option") << (QStringList{ QStringLiteral("--chunk-size"), QStringLiteral("1K"), QStringLiteral("--parallel"),
                                                  QStringLiteral("16"), QStringLiteral("--retries"), QStringLiteral("0"),
                                                  QStringLiteral("--retry-time"), QStringLiteral("0"), QStringLiteral("--max-time"),
                                                  QStringLiteral("60"), QStringLiteral("--limit-rate"), QStringLiteral("2M"),
                                                  QStringLiteral("--journal"), QStringLiteral("j") }
                                     + positional)
                                 << QStringList{ QStringLiteral("UPLOADER_IDLE_TIMEOUT=5"), QStringLiteral("UPLOADER_API_TOKEN=t") }
                                 << QString()
                                 << QStringLiteral("chunk 1024 parallel 16 retries 0 retry-time 0 max-time 60 rate 2097152 idle 5 "
                                                   "proxy :0 journal j token t");
    QTest::newRow("IPv6 proxy") << with(QStringLiteral("--proxy"), QStringLiteral("[::1]:8080")) << QStringList() << QString()
                                << changed(QStringLiteral("proxy :0"), QStringLiteral("proxy ::1:8080"));
    QTest::newRow("proxy without a port") << with(QStringLiteral("--proxy"), QStringLiteral("host:")) << QStringList()
                                          << QStringLiteral(" >> Invalid --proxy: \"host:\" ") << QString();
    QTest::newRow("proxy without a host") << with(QStringLiteral("--proxy"), QStringLiteral(":3128")) << QStringList()
                                          << QStringLiteral(" >> Invalid --proxy: \":3128\" ") << QString();
    QTest::newRow("proxy with a user, password hidden") << with(QStringLiteral("--proxy"), QStringLiteral("user:secret@127.0.0.1:3128")) << QStringList()
                                                        << QStringLiteral(" >> Invalid --proxy: \"user:***@127.0.0.1:3128\" ") << QString();
    QTest::newRow("proxy with a blank after the port") << with(QStringLiteral("--proxy"), QStringLiteral("host:3128 ")) << QStringList()
                                                       << QStringLiteral(" >> Invalid --proxy: \"host:3128 \" ") << QString();
    QTest::newRow("proxy with a scheme") << with(QStringLiteral("--proxy"), QStringLiteral("http://host:3128")) << QStringList()
                                         << QStringLiteral(" >> Invalid --proxy: \"http://host:3128\" ") << QString();
    QTest::newRow("proxy name") << with(QStringLiteral("--proxy"), QStringLiteral("proxy_1.example:3128")) << QStringList() << QString()
                                << changed(QStringLiteral("proxy :0"), QStringLiteral("proxy proxy_1.example:3128"));
    QTest::newRow("parallel 0") << with(QStringLiteral("--parallel"), QStringLiteral("0")) << QStringList()
                                << QStringLiteral(" >> Invalid --parallel: \"0\" ") << QString();
    QTest::newRow("retries 101") << with(QStringLiteral("--retries"), QStringLiteral("101")) << QStringList()
                                 << QStringLiteral(" >> Invalid --retries: \"101\" ") << QString();
    QTest::newRow("rate with a small letter") << with(QStringLiteral("--limit-rate"), QStringLiteral("1m")) << QStringList()
                                              << QString() << changed(QStringLiteral("rate 0"), QStringLiteral("rate 1048576"));
    QTest::newRow("unknown option") << with(QStringLiteral("--chunk"), QStringLiteral("1")) << QStringList()
                                    << QStringLiteral(" >> Unknown option 'chunk'. ") << QString();
    QTest::newRow("one positional") << QStringList(positional.mid(0, 1)) << QStringList()
                                    << QStringLiteral(" >> Usage: uploader-file [options] URL_TEMPLATE FILE (--help for more) ") << QString();
    QTest::newRow("two files with --journal") << (QStringList{ QStringLiteral("--journal"), QStringLiteral("j"), QStringLiteral("http://h/{name}"), QStringLiteral("f"), QStringLiteral("g") }) << QStringList() << QString() << changed(QStringLiteral("f.upload-journal"), QStringLiteral("j"));
    QTest::newRow("two files without --journal") << positional + QStringList{ QStringLiteral("g") } << QStringList() << QStringLiteral(" >> Several files need --journal PATH: one journal records them all ") << QString();
    QTest::newRow("--files-from without --journal") << with(QStringLiteral("--files-from"), QStringLiteral("/dev/null")) << QStringList() << QStringLiteral(" >> Several files need --journal PATH: one journal records them all ") << QString();
    QTest::newRow("--files-from unreadable") << with(QStringLiteral("--files-from"), QStringLiteral("/nonexistent")) << QStringList() << QStringLiteral(" >> Cannot read --files-from: \"/nonexistent\" ") << QString();
    QTest::newRow("--files-from empty, no FILE") << (QStringList{ QStringLiteral("--files-from"), QStringLiteral("/dev/null"), positional.at(0) }) << QStringList() << QStringLiteral(" >> --files-from lists no file ") << QString();
    QTest::newRow("a folder") << (QStringList{ positional.at(0), QStringLiteral("/") }) << QStringList() << QStringLiteral(" >> \"/\" is a folder: list its files with --files-from, as find \"/\" -type f > list makes ") << QString();
    QTest::newRow("token with a line feed") << positional << QStringList{ QStringLiteral("UPLOADER_API_TOKEN=a\nX-Evil: 1") }
                                            << QStringLiteral(" >> Invalid api_token. ") << QString();
    QTest::newRow("idle time not a number") << positional << QStringList{ QStringLiteral("UPLOADER_IDLE_TIMEOUT=soon") }
                                            << QStringLiteral(" >> Invalid UPLOADER_IDLE_TIMEOUT: \"soon\" ") << QString();
    // The options stand for these.
    QTest::newRow("uploader's retries ignored") << positional << QStringList{ QStringLiteral("UPLOADER_RETRIES=many") } << QString()
                                                << defaults;
    QTest::newRow("an option's fault named first") << with(QStringLiteral("--parallel"), QStringLiteral("0"))
                                                   << QStringList{ QStringLiteral("UPLOADER_IDLE_TIMEOUT=soon") }
                                                   << QStringLiteral(" >> Invalid --parallel: \"0\" ") << QString();
}

void TestFileUploadOptions::commandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, given);
    QFETCH(QString, message);
    QFETCH(QString, parsed);
    const ScopedEnvironment scope(given);
    QList<QByteArray> bytes{ "uploader-file" };
    for (const QString &argument : arguments)
        bytes << argument.toUtf8();
    QVector<char *> argv;
    for (QByteArray &argument : bytes)
        argv << argument.data();
    argv << nullptr;

    MessageCapture capture;
    FileUploadOptions options;
    ExitStatus status = ExitStatus::Success;
    QCOMPARE(options.parse(bytes.size(), argv.data(), &status), message.isEmpty());
    QCOMPARE(capture.lines(), message.isEmpty() ? QStringList() : QStringList{ message });
    if (message.isEmpty())
        QCOMPARE(describe(options), parsed);
    else
        QCOMPARE(status, ExitStatus::Usage);
}

QTEST_GUILESS_MAIN(TestFileUploadOptions)
#include "tst_fileuploadoptions.moc"
