#include "filetransfer.h"

#include "attemptrule.h"
#include "consolemessage.h"
#include "rangedevice.h"
#include "ratelimiter.h"
#include "requestheaders.h"
#include "transferreport.h"
#include "uploadjob.h"
#include "watchdog.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QUrl>

#include <sys/stat.h>
#include <unistd.h>

FileTransfer::FileTransfer(Watchdog *watchdog, QObject *parent)
    : QObject(parent)
    , manager(new QNetworkAccessManager(this))
    , watchdog(watchdog)
{
}

FileTransfer::~FileTransfer()
{
    watchdog->stop();
    if (transferJob) {
        if (hasFailed())
            ConsoleMessage() << " >> Exit with error!";
        else
            TransferReport::print(transferJob->result().elapsedMilliseconds, bodySize);
    }
    // The job's reply goes before the manager that made it.
    delete transferJob;
    delete manager;
}

bool FileTransfer::upload(const char *url, const char *api_token, const char *file_path,
                          qint64 start_offset, qint64 end_offset,
                          const char *proxy_host, const char *proxy_port, const char *use_proxy)
{
    if (qstrcmp(use_proxy, "true") == 0) {
        qint64 port = 0;
        UploadSettings::parseDecimal(proxy_port, &port);
        manager->setProxy(
            QNetworkProxy(QNetworkProxy::HttpProxy, QString::fromUtf8(UploadSettings::proxyHostName(proxy_host)), quint16(port)));
    }

    // The name is used by its own bytes; it is decoded only to be shown, since
    // a name that is not valid UTF-8 would not survive the way back.
    struct stat status = {};
    const bool found = ::stat(file_path, &status) == 0;
    fileSize = found ? status.st_size : 0;
    ConsoleMessage() << " >> File size =" << fileSize << "Byte";
    ConsoleMessage() << " >> Reading File: " << QFileInfo(QFile::decodeName(file_path)).absoluteFilePath();

    // Wraps instead of overflowing; such a range is refused below anyway.
    bodySize = qint64(quint64(end_offset) - quint64(start_offset));
    unposted.bytes = bodySize;
    unposted.exitStatus = ExitStatus::Failure;
    ConsoleMessage() << " >> Chunk size =" << bodySize << "Byte";

    // Opening a FIFO or a device would block or read forever.
    const int descriptor = found && S_ISREG(status.st_mode) ? RangeDevice::openRegularFile(file_path) : -1;
    if (descriptor < 0) {
        ConsoleMessage(&unposted.failure) << " >> Cannot Open input file.";
        return false;
    }
    fileSize = ::fstat(descriptor, &status) == 0 ? status.st_size : 0;
    if (start_offset < 0 || end_offset < start_offset || end_offset > fileSize) {
        ::close(descriptor);
        ConsoleMessage(&unposted.failure) << " >> Invalid range:" << start_offset << "-" << end_offset << "of" << fileSize << "Byte";
        return false;
    }

    transferJob = new UploadJob(manager, this);
    transferJob->setRequest(QUrl(QString::fromUtf8(url)), api_token, bodySize, tls ? &*tls : nullptr);
    transferJob->setIdleTimeout(settings.idleTimeout);
    transferJob->setRetries(settings.retries);
    transferJob->setMaxTime(settings.maxTime);
    transferJob->setProxyCredentials(settings.proxyUser, settings.proxyPassword);
    transferJob->setWatchdog(watchdog);
    connect(transferJob, &UploadJob::attemptStarted, this, [this] {
        progress.restart();
        ConsoleMessage() << " >> Uploading Start...";
    });
    connect(transferJob, SIGNAL(uploadProgress(qint64,qint64)), this, SLOT(showProgress(qint64,qint64)));
    connect(transferJob, &UploadJob::failureNoticed, this, [](const QByteArray &line) { ConsoleMessage::writeLine(line); });
    connect(transferJob, SIGNAL(replyReceived()), this, SLOT(httpPostDataReply()));
    connect(transferJob, &UploadJob::retryScheduled, this, [this](int seconds) {
        ConsoleMessage() << " >> Retrying in" << seconds << "seconds: attempt" << transferJob->result().attempts + 1 << "of"
                         << transferJob->retries() + 1;
    });
    // Read while it is sent: memory stays small whatever the range.
    auto *body = new RangeDevice(descriptor, RangeDevice::Ownership::Taken, start_offset, bodySize, nullptr);
    body->setRateLimiter(limiter.data());
    transferJob->start(body);
    return true;
}

bool FileTransfer::hasFailed() const
{
    return result().exitStatus != ExitStatus::Success;
}

void FileTransfer::setSettings(const UploadSettings &given)
{
    settings = given;
    limiter.reset(settings.limitRate > 0 ? new RateLimiter(settings.limitRate) : nullptr);
    watchdog->setIdleTimeout(settings.idleTimeout);
    watchdog->setMaxTime(settings.maxTime);
}

UploadJob *FileTransfer::job() const
{
    return transferJob;
}

const UploadResult &FileTransfer::result() const
{
    return transferJob ? transferJob->result() : unposted;
}

QString FileTransfer::localTimeZoneOffset()
{
    return RequestHeaders::localTimeZoneOffset();
}

void FileTransfer::showProgress(qint64 bytes_sent, qint64 bytes_total)
{
    progress.update(bytes_sent, bytes_total);
}

// The body, its status_code and its header pairs; not shown on an error.
void FileTransfer::httpPostDataReply()
{
    const UploadResult &reply = transferJob->result();
    ConsoleMessage::writeQuotedLine(reply.reply);
    if (reply.reply.isNull())
        ConsoleMessage() << " >> Reply is Empty.";
    else if (!reply.statusCodeShown)
        ConsoleMessage() << " >> status_code not read: reply over" << AttemptRule::maximumParsedSize << "Byte";
    else
        ConsoleMessage() << " >> status_code = " << reply.statusCode;
    ConsoleMessage() << " >> reply header pairs: " << reply.headers;
}
