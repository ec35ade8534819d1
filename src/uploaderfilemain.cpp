#include "uploaderfilemain.h"

#include "certificateauthorities.h"
#include "clientcertificate.h"
#include "consolemessage.h"
#include "curlmulti.h"
#include "fileupload.h"
#include "fileuploadoptions.h"
#include "interruptwatcher.h"
#include "resourcelimits.h"
#include "standardstreams.h"

#include <QCoreApplication>

int uploaderFileMain(int argc, char *argv[])
{
    StandardStreams::openClosed();
    ConsoleMessage::dropLibraryMessages();
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("uploader-file"));
    QCoreApplication::setApplicationVersion(QStringLiteral(UPLOADER_VERSION));
    FileUploadOptions options;
    ExitStatus status = ExitStatus::Success;
    if (!options.parse(argc, argv, &status))
        return int(status);
    if (options.urlTemplate.text().toLower().startsWith("https:") && !(CertificateAuthorities::checkBundle(options.settings) && ClientCertificate::apply(options.settings)))
        return int(ExitStatus::Usage);
    QByteArray failure;
    if (!CurlMulti::initialize()) {
        ConsoleMessage() << " >> Cannot start libcurl";
        return int(ExitStatus::Failure);
    }
    // Measured: 12 descriptors and 2 for each chunk in flight; twice that, for connections being replaced.
    if (!ResourceLimits::ensureRequired(&failure, qMax<qint64>(ResourceLimits::requiredOpenFiles, 32 + 4 * options.parallel)))
        return int(ExitStatus::Failure);

    FileUpload upload(options);
    InterruptWatcher interrupts;
    QObject::connect(&interrupts, &InterruptWatcher::interrupted, &upload, &FileUpload::interrupt);
    // Queued: a journal that holds every chunk ends the run before the loop runs.
    QObject::connect(&upload, &FileUpload::finished, &application, &QCoreApplication::quit, Qt::QueuedConnection);
    if (!upload.start())
        return int(upload.exitStatus());
    application.exec();
    return int(upload.exitStatus());
}
