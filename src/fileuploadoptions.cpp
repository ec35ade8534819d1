#include "fileuploadoptions.h"

#include "consolemessage.h"
#include "pathcheck.h"
#include "standardstreams.h"
#include "uploadarguments.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QHash>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <limits>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A line already laid out.
bool refuse(const QByteArray &line, ExitStatus *status)
{
    ConsoleMessage::writeLine(line);
    *status = ExitStatus::Usage;
    return false;
}

bool usage(const QByteArray &line, ExitStatus *status)
{
    return refuse(" >> " + line + ' ', status);
}

// The arguments' bytes as given, taken by place as the parser takes them:
// decoded, two names whose bytes are not UTF-8 could become one.
struct ArgumentBytes
{
    QList<QByteArray> positional;
    // Each option's last value, by its name.
    QHash<QString, QByteArray> values;
};

ArgumentBytes argumentBytes(int argc, char *argv[], const QList<QCommandLineOption> &options)
{
    QStringList valued;
    for (const QCommandLineOption &option : options)
        if (!option.valueName().isEmpty())
            valued << option.names();
    ArgumentBytes bytes;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const QByteArray argument = argv[i];
        const int equals = argument.indexOf('=');
        const QString name = QString::fromLocal8Bit(argument.mid(2, equals < 0 ? -1 : equals - 2));
        if (!optionsEnded && argument == "--")
            optionsEnded = true;
        else if (optionsEnded || !argument.startsWith('-') || argument == "-")
            bytes.positional << argument;
        else if (argument.startsWith("--") && valued.contains(name) && (equals >= 0 || i + 1 < argc))
            bytes.values.insert(name, equals >= 0 ? argument.mid(equals + 1) : QByteArray(argv[++i]));
    }
    return bytes;
}

// One path a line, taken as it is; an empty line names no file.
bool readList(const QByteArray &path, QList<QByteArray> *paths)
{
    // Opened by its bytes: a name that is not UTF-8 would not survive decoding.
    const int descriptor = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    QFile list;
    if (descriptor < 0 || !list.open(descriptor, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        if (descriptor >= 0)
            ::close(descriptor);
        return false;
    }
    // A line longer than any path, or one holding a NUL byte, is the last read: the check
    // refuses it, and a list that never ends (/dev/zero) is not taken into memory.
    for (;;) {
        QByteArray line = list.readLine(PATH_MAX + 1);
        if (line.isEmpty())
            return list.error() == QFileDevice::NoError;
        const bool whole = line.endsWith('\n');
        if (whole)
            line.chop(1);
        if (!line.isEmpty())
            *paths << line;
        if ((!whole && line.size() >= PATH_MAX) || line.contains('\0'))
            return true;
    }
}

} // namespace

QByteArray FileUploadOptions::folderLine(const QByteArray &path)
{
    return '"' + path + "\" is a folder: list its files with --files-from, as find \"" + path + "\" -type f > list makes";
}

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
    const QCommandLineOption journalOption(QStringLiteral("journal"), QStringLiteral("The run's record (default FILE.upload-journal; none for a stream or /dev/stdin)."),
                                           QStringLiteral("PATH"));
    const QCommandLineOption filesFromOption(QStringLiteral("files-from"), QStringLiteral("Send the files this file lists, one path a line, after any FILE."),
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
    const QCommandLineOption dryRunOption(QStringLiteral("dry-run"),
                                          QStringLiteral("Check the paths, the journal and the template, list the chunks a run would send; send nothing."));
    const QCommandLineOption verboseOption(QStringLiteral("verbose"),
                                           QStringLiteral("Show each request's and reply's headers, the token and passwords masked."));
    const QCommandLineOption tokenFileOption(QStringLiteral("token-file"),
                                             QStringLiteral("Read the API token from this file (default: UPLOADER_API_TOKEN)."),
                                             QStringLiteral("PATH"));
    const QCommandLineOption helpOption = parser.addHelpOption();
    const QCommandLineOption versionOption = parser.addVersionOption();
    const QList<QCommandLineOption> options = { chunkSizeOption, parallelOption, retriesOption, retryTimeOption, maxTimeOption, limitRateOption, journalOption, restartOption, filesFromOption,
                                                proxyOption, resultOption, quietOption, dryRunOption, verboseOption, tokenFileOption };
    parser.addOptions(options);
    parser.addPositionalArgument(QStringLiteral("URL_TEMPLATE"),
                                 QStringLiteral("The address of each chunk: {index}, {start}, {end}, {size}, {name}, {path}; {count} and {total} for a file only."));
    parser.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("The file to send; - for standard input."), QStringLiteral("FILE [FILE...]"));

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
    const bool listed = parser.isSet(filesFromOption);
    if (positional.size() < (listed ? 1 : 2))
        return usage("Usage: uploader-file [options] URL_TEMPLATE FILE (--help for more)", status);
    urlTemplate = UrlTemplate(positional.at(0).toUtf8());
    const ArgumentBytes bytes = argumentBytes(argc, argv, options);
    const bool matched = bytes.positional.size() == positional.size();
    for (int i = 1; i < positional.size(); ++i)
        filePaths << (matched && QString::fromLocal8Bit(bytes.positional.at(i)) == positional.at(i) ? bytes.positional.at(i) : QFile::encodeName(positional.at(i)));
    const auto pathOf = [&parser, &bytes](const QCommandLineOption &option) {
        const QByteArray given = bytes.values.value(option.names().constFirst());
        return QString::fromLocal8Bit(given) == parser.value(option) ? given : QFile::encodeName(parser.value(option));
    };
    if (listed && !readList(pathOf(filesFromOption), &filePaths))
        return usage("Cannot read --files-from: \"" + parser.value(filesFromOption).toUtf8() + '"', status);
    if (filePaths.isEmpty())
        return usage("--files-from lists no file", status);
    several = listed || filePaths.size() > 1;
    filePath = filePaths.constFirst();
    if (several && !parser.isSet(journalOption))
        return usage("Several files need --journal PATH: one journal records them all", status);
    // A file missing or unreadable stays a file: its run says why it cannot be opened.
    const bool standardInput = filePath == "-" && !several;
    struct stat input = {};
    const bool found = standardInput ? ::fstat(STDIN_FILENO, &input) == 0 : !several && ::stat(filePath.constData(), &input) == 0;
    if (standardInput && ::isatty(STDIN_FILENO))
        return usage("Standard input is a terminal: pipe the data in, or name a file", status);
    // Opened on /dev/null at the start: it would be sent as an empty stream.
    if (standardInput && StandardStreams::wasClosed(STDIN_FILENO))
        return usage("Standard input is closed: pipe the data in, or name a file", status);
    stream = found ? !S_ISREG(input.st_mode) && !S_ISDIR(input.st_mode) : standardInput;
    if (found && S_ISDIR(input.st_mode))
        return usage(folderLine(filePath), status);
    // "-" from a file (< big.bin) is sent as that file, read by range.
    if (standardInput && !stream)
        filePath = "/proc/self/fd/0";
    // Without a file name (/dev/stdin names a descriptor) there is nowhere to put a journal beside it.
    journalPath = parser.isSet(journalOption)                                        ? pathOf(journalOption)
                  : stream || standardInput || PathCheck::namesDescriptor(filePath) ? QByteArray()
                                                                                    : filePath + ".upload-journal";
    restart = parser.isSet(restartOption);
    quiet = parser.isSet(quietOption);
    dryRun = parser.isSet(dryRunOption);
    verbose = parser.isSet(verboseOption);
    resultPath = pathOf(resultOption);

    QByteArray environmentFailure;
    const bool environmentUsable = settings.readEnvironment(UploadSettings::Program::UploaderFile, &environmentFailure);
    settings.retries = 5;
    const auto value = [&parser](const QCommandLineOption &option) { return parser.value(option).toUtf8(); };
    const auto invalid = [&value, status](const QCommandLineOption &option) {
        return usage("Invalid --" + option.names().constFirst().toUtf8() + ": \"" + value(option) + '"', status);
    };
    const int longest = std::numeric_limits<int>::max();
    if (parser.isSet(chunkSizeOption) && !UploadSettings::parseSize(value(chunkSizeOption), &chunkSize))
        return invalid(chunkSizeOption);
    if (parser.isSet(parallelOption) && !UploadSettings::parseCount(value(parallelOption), 1, 16, &parallel))
        return invalid(parallelOption);
    if (parser.isSet(retriesOption) && !UploadSettings::parseCount(value(retriesOption), 0, 100, &settings.retries))
        return invalid(retriesOption);
    if (parser.isSet(retryTimeOption) && !UploadSettings::parseCount(value(retryTimeOption), 0, longest, &retryTime))
        return invalid(retryTimeOption);
    if (parser.isSet(maxTimeOption) && !UploadSettings::parseCount(value(maxTimeOption), 0, longest, &settings.maxTime))
        return invalid(maxTimeOption);
    if (parser.isSet(limitRateOption) && !UploadSettings::parseSize(value(limitRateOption), &settings.limitRate))
        return invalid(limitRateOption);
    if (parser.isSet(proxyOption)) {
        const QByteArray proxy = value(proxyOption);
        const int colon = proxy.lastIndexOf(':');
        // "[::1]:8080" as in an address; the stacks take the literal without its brackets.
        settings.proxyHost = UploadSettings::proxyHostName(proxy.left(colon));
        const QByteArray port = proxy.mid(colon + 1);
        const bool digits = std::all_of(port.cbegin(), port.cend(), [](char c) { return c >= '0' && c <= '9'; });
        if (colon < 0 || !UploadSettings::isValidProxyHost(proxy.left(colon)) || !digits || !UploadSettings::isValidPort(port))
            return usage("Invalid --proxy: \"" + UploadArguments::withoutPassword(proxy) + '"', status);
        settings.proxyPort = quint16(port.toUInt());
    }
    if (parser.isSet(tokenFileOption) && !settings.readTokenFile(parser.value(tokenFileOption), &environmentFailure))
        return refuse(environmentFailure, status);
    // Sent empty when there is none, as uploader sends it.
    if (settings.apiToken.isNull())
        settings.apiToken = QByteArray("");
    // The token is a secret: never echo it.
    if (!UploadSettings::isValidToken(settings.apiToken))
        return usage("Invalid api_token.", status);
    return environmentUsable || refuse(environmentFailure, status);
}
