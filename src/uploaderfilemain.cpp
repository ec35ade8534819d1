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
#include "watchdog.h"

#include <QCoreApplication>

namespace {

// From the descriptors its chunks need to the last chunk: the run's status.
[[gnu::noinline]] ExitStatus send(const FileUploadOptions &options)
{
    ClientCertificate clientCertificate;
    QByteArray failure;
    // Measured: 12 descriptors and 2 for each chunk in flight; twice that, for connections being replaced.
    if (!ResourceLimits::ensureRequired(&failure, qMax<qint64>(ResourceLimits::requiredOpenFiles, 32 + 4 * options.parallel)))
        return ExitStatus::Failure;
    if (options.urlTemplate.text().toLower().startsWith("https:")
        && !(CertificateAuthorities::checkBundle(options.settings) && clientCertificate.load(options.settings)))
        return ExitStatus::Usage;
    if (!CurlMulti::initialize()) {
        ConsoleMessage() << " >> Cannot start libcurl";
        return ExitStatus::Failure;
    }

    // The run's own clock ends it on time; this one ends it if that clock
    // cannot run, and bounds its memory.
    Watchdog watchdog;
    watchdog.setClosingLine(QByteArray());
    watchdog.setMaxTime(options.settings.maxTime);
    if (options.stream)
        watchdog.allowMemory(qint64(options.parallel) * options.chunkSize);
    watchdog.startAttempt(UploadResult());
    FileUpload upload(options, clientCertificate);
    InterruptWatcher interrupts;
    QObject::connect(&interrupts, &InterruptWatcher::interrupted, &upload, &FileUpload::interrupt);
    // Queued: a journal that holds every chunk ends the run before the loop runs.
    QObject::connect(&upload, &FileUpload::finished, QCoreApplication::instance(), &QCoreApplication::quit, Qt::QueuedConnection);
    if (upload.start())
        QCoreApplication::exec();
    watchdog.stop();
    return upload.exitStatus();
}

} // namespace

int uploaderFileMain(int argc, char *argv[])
{
    StandardStreams::openClosed();
    ConsoleMessage::dropLibraryMessages();
    // Before the application object, as in uploader: under a soft stack limit
    // of a few pages, Qt's start alone would overflow it. The descriptors
    // wait for the options: one line names what the run needs.
    QByteArray failure;
    ExitStatus status = ExitStatus::Failure;
    if (ResourceLimits::ensureRequired(&failure, 0)) {
        QCoreApplication application(argc, argv);
        QCoreApplication::setApplicationName(QStringLiteral("uploader-file"));
        QCoreApplication::setApplicationVersion(QStringLiteral(UPLOADER_VERSION));
        FileUploadOptions options;
        status = ExitStatus::Success;
        if (options.parse(argc, argv, &status))
            status = send(options);
    }
    return int(status);
}
