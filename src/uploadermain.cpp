#include "uploadermain.h"

#include "consolemessage.h"
#include "filetransfer.h"
#include "resourcelimits.h"
#include "resultfile.h"
#include "uploadarguments.h"

#include <QCoreApplication>

#include <cstdlib>

namespace {

// A result that cannot be written fails a run that had none, so that a script
// never reads an older run's result as this one's.
int reportResult(ResultFile *resultFile, const UploadResult &result)
{
    if (!resultFile->write(result) && result.exitStatus == 0)
        return 1;
    return result.exitStatus;
}

} // namespace

int uploaderMain(int argc, char *argv[])
{
    // Read before the application object, which may take arguments of its own out of argv.
    UploadArguments arguments;
    if (!arguments.parse(argc, argv))
        return 2;
    ResultFile resultFile;
    if (!resultFile.open(arguments.result_path))
        return 2;
    UploadResult unsent;
    unsent.exitStatus = 1;
    unsent.bytes = qint64(quint64(arguments.end_offset) - quint64(arguments.start_offset));
    if (!ResourceLimits::ensureRequired(&unsent.failure))
        return reportResult(&resultFile, unsent);

    QCoreApplication application(argc, argv);
    FileTransfer *transfer = new FileTransfer(&application);
    transfer->setIdleTimeout(arguments.idle_timeout);
    transfer->setRetries(arguments.retries);
    transfer->setResultFile(&resultFile);
    if (!transfer->upload(arguments.url.constData(), arguments.api_token.constData(), arguments.file_path.constData(),
                          arguments.start_offset, arguments.end_offset, arguments.proxy_host.constData(),
                          arguments.proxy_port.constData(), arguments.use_proxy.constData())) {
        ConsoleMessage() << " >> Failed Upload.";
        std::exit(reportResult(&resultFile, transfer->result()));
    }
    ConsoleMessage() << " >> Successful Upload.";

    application.exec();
    const UploadResult result = transfer->result();
    // The final report comes before the result, which says how the run ended;
    // the transfer ends its watchdog before that.
    delete transfer;
    return reportResult(&resultFile, result);
}
