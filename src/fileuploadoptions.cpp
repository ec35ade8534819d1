#include "fileuploadoptions.h"

#include "consolemessage.h"
#include "uploadarguments.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>

#include <algorithm>
#include <cstdio>
#include <limits>

namespace {

const int longestTokenFile = 1 << 16;

bool usage(const QByteArray &line, ExitStatus *status)
{
    ConsoleMessage::writeLine(" >> " + line + ' ');
    *status = ExitStatus::Usage;
    return false;
}

bool parseCount(const QString &text, int lowest, int highest, int *value)
{
    qint64 parsed = 0;
    if (!UploadArguments::parseDecimal(text.toUtf8(), &parsed) || parsed < lowest || parsed > highest)
        return false;
    *value = int(parsed);
    return true;
}

// The bytes of the argument as given: decoding and encoding again would not
// give back a name that is not valid UTF-8.
QByteArray argumentBytes(int argc, char *argv[], const QString &decoded)
{
    for (int i = argc - 1; i > 0; --i)
        if (QString::fromLocal8Bit(argv[i]) == decoded)
            return argv[i];
    return QFile::encodeName(decoded);
}

} // namespace

bool FileUploadOptions::parse(int argc, char *argv[], ExitStatus *status)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Sends every chunk of FILE as uploader sends one, several at once, "
                                                    "and resumes from a journal."));
    const QCommandLineOption chunkSizeOption(QStringLiteral("chunk-size"), QStringLiteral("Bytes per chunk, with K, M or G (default 8M)."),
                                             QStringLiteral("SIZE"));
    const QCommandLineOption parallelOption(QStringLiteral("parallel"), QStringLiteral("Chunks in flight at once, 1 to 16 (default 4)."),
                                            QStringLiteral("N"));
    const QCommandLineOption retriesOption(QStringLiteral("retries"),
                                           QStringLiteral("Retries of a chunk after a failure that may pass, 0 to 100 (default 5)."),
                                           QStringLiteral("N"));
    const QCommandLineOption retryTimeOption(QStringLiteral("retry-time"),
                                             QStringLiteral("The longest a chunk may wait to be sent again, in seconds (default 900)."),
                                             QStringLiteral("SECONDS"));
    const QCommandLineOption maxTimeOption(QStringLiteral("max-time"), QStringLiteral("The whole run's time, in seconds (default 0: none)."),
                                           QStringLiteral("SECONDS"));
    const QCommandLineOption journalOption(QStringLiteral("journal"), QStringLiteral("The run's record (default FILE.upload-journal)."),
                                           QStringLiteral("PATH"));
    const QCommandLineOption restartOption(QStringLiteral("restart"), QStringLiteral("Discard the journal and send every chunk."));
    const QCommandLineOption limitRateOption(QStringLiteral("limit-rate"),
                                             QStringLiteral("The most bytes per second of the whole run, with K, M or G (default: none)."),
                                             QStringLiteral("RATE"));
    const QCommandLineOption proxyOption(QStringLiteral("proxy"), QStringLiteral("An HTTP proxy."), QStringLiteral("HOST:PORT"));
    const QCommandLineOption resultOption(QStringLiteral("result"),
                                          QStringLiteral("One JSON line per chunk, then a summary; - for standard output."),
                                          QStringLiteral("PATH"));
    const QCommandLineOption quietOption(QStringLiteral("quiet"), QStringLiteral("No progress lines."));
    const QCommandLineOption tokenFileOption(QStringLiteral("token-file"),
                                             QStringLiteral("Read the API token from this file (default: UPLOADER_API_TOKEN)."),
                                             QStringLiteral("PATH"));
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption versionOption = parser.addVersionOption();
    parser.addOptions({ chunkSizeOption, parallelOption, retriesOption, retryTimeOption, maxTimeOption, limitRateOption, journalOption, restartOption, proxyOption,
                        resultOption, quietOption, tokenFileOption });
    parser.addPositionalArgument(QStringLiteral("URL_TEMPLATE"),
                                 QStringLiteral("The address of each chunk: {index}, {start}, {end}, {size}, {count}, {total}."));
    parser.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("The file to send."));

    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const bool parsed = parser.parse(arguments);
    // Help and version win over whatever else the line holds, an unknown option
    // too, which stops Qt's parser before it sees them. addHelpOption lists
    // --help-all too; the program has no options of Qt's to add.
    const auto given = [&arguments](std::initializer_list<const char *> spellings) {
        return std::any_of(spellings.begin(), spellings.end(),
                           [&arguments](const char *spelling) { return arguments.mid(1).contains(QLatin1String(spelling)); });
    };
    const bool help = given({ "-h", "-?", "--help", "--help-all" });
    if (!parsed && !help && !given({ "-v", "--version" }))
        return usage(parser.errorText().toUtf8(), status);
    if (help || given({ "-v", "--version" })) {
        const QString text = help ? parser.helpText()
                                                       : QCoreApplication::applicationName() + QLatin1Char(' ')
                                                             + QCoreApplication::applicationVersion() + QLatin1Char('\n');
        std::fputs(text.toUtf8().constData(), stdout);
        *status = ExitStatus::Success;
        return false;
    }
    const QStringList positional = parser.positionalArguments();
    if (positional.size() != 2)
        return usage("Usage: uploader-file [options] URL_TEMPLATE FILE (--help for more)", status);
    urlTemplate = UrlTemplate(positional.at(0).toUtf8());
    filePath = argumentBytes(argc, argv, positional.at(1));
    journalPath = parser.isSet(journalOption) ? QFile::encodeName(parser.value(journalOption)) : filePath + ".upload-journal";
    restart = parser.isSet(restartOption);
    quiet = parser.isSet(quietOption);
    resultPath = QFile::encodeName(parser.value(resultOption));

    if (parser.isSet(chunkSizeOption) && !parseSize(parser.value(chunkSizeOption), &chunkSize))
        return usage("Invalid --chunk-size: \"" + parser.value(chunkSizeOption).toUtf8() + '"', status);
    if (parser.isSet(parallelOption) && !parseCount(parser.value(parallelOption), 1, 16, &parallel))
        return usage("Invalid --parallel: \"" + parser.value(parallelOption).toUtf8() + '"', status);
    if (parser.isSet(retriesOption) && !parseCount(parser.value(retriesOption), 0, 100, &retries))
        return usage("Invalid --retries: \"" + parser.value(retriesOption).toUtf8() + '"', status);
    if (parser.isSet(retryTimeOption) && !parseCount(parser.value(retryTimeOption), 0, std::numeric_limits<int>::max(), &retryTime))
        return usage("Invalid --retry-time: \"" + parser.value(retryTimeOption).toUtf8() + '"', status);
    if (parser.isSet(maxTimeOption) && !parseCount(parser.value(maxTimeOption), 0, std::numeric_limits<int>::max(), &maxTime))
        return usage("Invalid --max-time: \"" + parser.value(maxTimeOption).toUtf8() + '"', status);
    if (parser.isSet(limitRateOption) && !parseSize(parser.value(limitRateOption), &limitRate))
        return usage("Invalid --limit-rate: \"" + parser.value(limitRateOption).toUtf8() + '"', status);
    if (parser.isSet(proxyOption)) {
        const QByteArray proxy = parser.value(proxyOption).toUtf8();
        const int colon = proxy.lastIndexOf(':');
        // "[::1]:8080" as in an address; Qt takes the literal without its brackets.
        proxyHost = UploadArguments::proxyHostName(proxy.left(colon));
        const QByteArray port = proxy.mid(colon + 1);
        if (proxyHost.isEmpty() || !UploadArguments::isValidPort(port))
            return usage("Invalid --proxy: \"" + proxy + '"', status);
        proxyPort = quint16(port.toUInt());
        proxyUser = qgetenv("UPLOADER_PROXY_USER");
        proxyPassword = qgetenv("UPLOADER_PROXY_PASSWORD");
    }
    if (parser.isSet(tokenFileOption)) {
        QFile file(parser.value(tokenFileOption));
        if (!file.open(QIODevice::ReadOnly))
            return usage("Cannot read --token-file: \"" + parser.value(tokenFileOption).toUtf8() + '"', status);
        // One byte more than a token may hold tells a longer file from one that fits.
        apiToken = file.read(longestTokenFile + 1);
        if (apiToken.size() > longestTokenFile)
            return usage("Invalid --token-file: \"" + parser.value(tokenFileOption).toUtf8() + "\" holds more than "
                             + QByteArray::number(longestTokenFile) + " bytes",
                         status);
        while (apiToken.endsWith('\n') || apiToken.endsWith('\r'))
            apiToken.chop(1);
    } else {
        apiToken = qgetenv("UPLOADER_API_TOKEN");
    }
    // Qt leaves out a header whose value is null; uploader sends it empty.
    if (apiToken.isNull())
        apiToken = QByteArray("");
    // The token is a secret: never echo it.
    if (!UploadArguments::isValidToken(apiToken))
        return usage("Invalid api_token.", status);
    const QByteArray timeout = qgetenv("UPLOADER_IDLE_TIMEOUT");
    if (!timeout.isEmpty() && !UploadArguments::parseSetting(timeout, std::numeric_limits<int>::max(), &idleTimeout))
        return usage("Invalid UPLOADER_IDLE_TIMEOUT: \"" + timeout + '"', status);
    return true;
}

bool FileUploadOptions::parseSize(const QString &text, qint64 *bytes)
{
    QByteArray digits = text.trimmed().toUtf8();
    int shift = 0;
    if (digits.endsWith('K') || digits.endsWith('M') || digits.endsWith('G')) {
        shift = digits.endsWith('K') ? 10 : digits.endsWith('M') ? 20 : 30;
        digits.chop(1);
    }
    qint64 value = 0;
    if (digits.isEmpty() || !std::all_of(digits.cbegin(), digits.cend(), [](char c) { return c >= '0' && c <= '9'; })
        || !UploadArguments::parseDecimal(digits, &value) || value < 1 || value > (qint64(4) << 30) >> shift)
        return false;
    *bytes = value << shift;
    return true;
}
