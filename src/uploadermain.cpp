#include "uploadermain.h"

#include "consolemessage.h"
#include "filetransfer.h"
#include "resourcelimits.h"
#include "resultwriter.h"
#include "standardstreams.h"
#include "tlsconfiguration.h"
#include "uploadarguments.h"
#include "uploadjob.h"
#include "watchdog.h"

#include <QCoreApplication>
#include <QSslConfiguration>

#include <optional>

namespace {

// From the application object to the answer: what the run ends with.
[[gnu::noinline]] UploadResult send(int argc, char *argv[], const UploadArguments &arguments, ResultWriter *resultFile)
{
    UploadResult unsent;
    unsent.bytes = qint64(quint64(arguments.end_offset) - quint64(arguments.start_offset));
    QCoreApplication application(argc, argv);
    // Built only for https: even an empty configuration starts Qt 6's TLS backend.
    std::optional<QSslConfiguration> tls;
    if (arguments.url.toLower().startsWith("https:") && !TlsConfiguration::build(arguments.settings, &tls.emplace(), &unsent.failure)) {
        unsent.exitStatus = ExitStatus::Usage;
        return unsent;
    }
    Watchdog watchdog;
    watchdog.setResultWriter(resultFile);
    FileTransfer transfer(&watchdog);
    transfer.setSettings(arguments.settings);
    if (tls)
        transfer.setTlsConfiguration(*tls);
    if (transfer.upload(arguments.url.constData(), arguments.api_token.constData(), arguments.file_path.constData(),
                        arguments.start_offset, arguments.end_offset, arguments.proxy_host.constData(),
                        arguments.proxy_port.constData(), arguments.use_proxy.constData())) {
        ConsoleMessage() << " >> Successful Upload.";
        QObject::connect(transfer.job(), &UploadJob::finished, &application, &QCoreApplication::quit);
        application.exec();
    } else {
        ConsoleMessage() << " >> Failed Upload.";
    }
    // The final report comes before the result, which says how the run ended.
    return transfer.result();
}

} // namespace

int uploaderMain(int argc, char *argv[])
{
    StandardStreams::openClosed();
    ConsoleMessage::dropLibraryMessages();
    // Read before the application object, which may take arguments of its own out of argv.
    UploadArguments arguments;
    const bool usable = arguments.parse(argc, argv);
    // Before the result is opened: finding its path takes more stack than a
    // soft limit of a few pages. A run refused for its arguments says only that.
    UploadResult result;
    result.exitStatus = ExitStatus::Failure;
    result.bytes = qint64(quint64(arguments.end_offset) - quint64(arguments.start_offset));
    const bool limited = !ResourceLimits::ensureRequired(&result.failure, ResourceLimits::requiredOpenFiles, usable);
    // A refused run replaces the previous result too: a script must never
    // read an older run's success as this one's.
    ResultWriter resultFile;
    const QDeadlineTimer runDeadline(arguments.settings.maxTime > 0 ? arguments.settings.maxTime * qint64(1000) : -1);
    const bool resultUsable = resultFile.open(arguments.settings.resultPath, arguments.file_path, runDeadline);
    const QByteArray outOfTime = " >> Timed out: the run took over " + QByteArray::number(arguments.settings.maxTime) + " seconds ";
    if (!usable) {
        result = UploadResult();
        result.exitStatus = ExitStatus::Usage;
        result.failure = arguments.failure;
    } else if (resultFile.timedOut()) {
        ConsoleMessage::writeLine(outOfTime);
        result.exitStatus = ExitStatus::TemporaryFailure;
    } else if (!resultUsable) {
        resultFile.reportFailure();
        result.exitStatus = ExitStatus::Usage;
    } else if (!limited) {
        result = send(argc, argv, arguments, &resultFile);
    }
    // A result that cannot be written fails a run that had none, so that a
    // script never acts on a run whose result it cannot read; a reader that
    // held it past the run's time ends it as the time does.
    if (resultUsable && !resultFile.write(result)) {
        if (resultFile.timedOut())
            ConsoleMessage::writeLine(outOfTime);
        else
            resultFile.reportFailure();
        if (result.exitStatus == ExitStatus::Success)
            result.exitStatus = resultFile.timedOut() ? ExitStatus::TemporaryFailure : ExitStatus::Failure;
    }
    return int(result.exitStatus);
}
