#include "uploadermain.h"

#include "certificateauthorities.h"
#include "clientcertificate.h"
#include "consolemessage.h"
#include "filetransfer.h"
#include "resourcelimits.h"
#include "resultwriter.h"
#include "standardstreams.h"
#include "uploadarguments.h"
#include "uploadjob.h"

#include <QCoreApplication>

#include <unistd.h>

namespace {

// A result that cannot be written fails a run that had none, so that a script
// never acts on a run whose result it cannot read.
int reportResult(ResultWriter *resultFile, const UploadResult &result)
{
    if (resultFile->write(result))
        return int(result.exitStatus);
    resultFile->reportFailure();
    return int(result.exitStatus == ExitStatus::Success ? ExitStatus::Failure : result.exitStatus);
}

} // namespace

int uploaderMain(int argc, char *argv[])
{
    StandardStreams::openClosed();
    ConsoleMessage::dropLibraryMessages();
    // Read before the application object, which may take arguments of its own out of argv.
    UploadArguments arguments;
    const bool usable = arguments.parse(argc, argv);
    // A refused run replaces the previous result too: a script must never
    // read an older run's success as this one's.
    ResultWriter resultFile;
    const QDeadlineTimer runDeadline(arguments.max_time > 0 ? arguments.max_time * qint64(1000) : -1);
    const bool resultUsable = resultFile.open(arguments.result_path, arguments.file_path, runDeadline);
    UploadResult unsent;
    unsent.exitStatus = ExitStatus::Usage;
    if (!usable) {
        unsent.failure = arguments.failure;
        return resultUsable ? reportResult(&resultFile, unsent) : int(ExitStatus::Usage);
    }
    if (resultFile.timedOut()) {
        ConsoleMessage() << " >> Timed out: the run took over" << arguments.max_time << "seconds";
        return int(ExitStatus::TemporaryFailure);
    }
    if (!resultUsable) {
        resultFile.reportFailure();
        return int(ExitStatus::Usage);
    }
    unsent.exitStatus = ExitStatus::Failure;
    unsent.bytes = qint64(quint64(arguments.end_offset) - quint64(arguments.start_offset));
    if (!ResourceLimits::ensureRequired(&unsent.failure))
        return reportResult(&resultFile, unsent);

    QCoreApplication application(argc, argv);
    if (arguments.url.toLower().startsWith("https:") && !(CertificateAuthorities::apply() && ClientCertificate::apply())) {
        unsent.exitStatus = ExitStatus::Usage;
        return reportResult(&resultFile, unsent);
    }
    FileTransfer *transfer = new FileTransfer(&application);
    transfer->setIdleTimeout(arguments.idle_timeout);
    transfer->setRetries(arguments.retries);
    transfer->setMaxTime(arguments.max_time);
    transfer->setLimitRate(arguments.limit_rate);
    transfer->setProxyCredentials(arguments.proxy_user, arguments.proxy_password);
    transfer->setResultWriter(&resultFile);
    if (!transfer->upload(arguments.url.constData(), arguments.api_token.constData(), arguments.file_path.constData(),
                          arguments.start_offset, arguments.end_offset, arguments.proxy_host.constData(),
                          arguments.proxy_port.constData(), arguments.use_proxy.constData())) {
        ConsoleMessage() << " >> Failed Upload.";
        // At once, as the program always has, but without running static
        // destructors under Qt's bearer thread, which the manager started:
        // that crashed now and then. Everything is written by now.
        ::_exit(reportResult(&resultFile, transfer->result()));
    }
    ConsoleMessage() << " >> Successful Upload.";
    QObject::connect(transfer->job(), &UploadJob::finished, &application, &QCoreApplication::quit);

    application.exec();
    const UploadResult result = transfer->result();
    // The final report comes before the result, which says how the run ended;
    // the transfer ends its watchdog before that.
    delete transfer;
    return reportResult(&resultFile, result);
}
