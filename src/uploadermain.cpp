#include "uploadermain.h"

#include "addressspace.h"
#include "consolemessage.h"
#include "filetransfer.h"
#include "uploadarguments.h"

#include <QCoreApplication>

#include <cstdlib>

int uploaderMain(int argc, char *argv[])
{
    // Read before the application object, which may take arguments of its own out of argv.
    UploadArguments arguments;
    if (!arguments.parse(argc, argv))
        return 2;
    if (!AddressSpace::ensureRequired())
        return 1;

    QCoreApplication application(argc, argv);
    FileTransfer *transfer = new FileTransfer(&application);
    transfer->setIdleTimeout(arguments.idle_timeout);
    if (!transfer->upload(arguments.url.constData(), arguments.api_token.constData(), arguments.file_path.constData(),
                          arguments.start_offset, arguments.end_offset, arguments.proxy_host.constData(),
                          arguments.proxy_port.constData(), arguments.use_proxy.constData())) {
        ConsoleMessage() << " >> Failed Upload.";
        std::exit(1);
    }
    ConsoleMessage() << " >> Successful Upload.";

    const int status = application.exec();
    return transfer->hasFailed() ? 1 : status;
}
