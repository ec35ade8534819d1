#include "filetransfer.h"

#include "consolemessage.h"
#include "jsonscript.h"
#include "rangedevice.h"
#include "retrypolicy.h"
#include "uploadarguments.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslConfiguration>
#include <QSslError>
#include <QTimer>
#include <QUrl>

#include <cmath>
#include <limits>
#include <memory>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

const qint64 FileTransfer::maximumReplySize = ReplyBody::maximumSize;
const int FileTransfer::maximumParsedSize = 1 << 20;

FileTransfer::FileTransfer(QObject *parent)
    : QObject(parent)
    , manager(new QNetworkAccessManager(this))
{
}

FileTransfer::~FileTransfer()
{
    watchdog.stop();
    if (reply) {
        if (hasFailed())
            ConsoleMessage() << " >> Exit with error!";
        else
            printTransferReport(outcome.elapsedMilliseconds, bodySize);
        reply->deleteLater();
    }
    delete manager;
}

bool FileTransfer::upload(const char *url, const char *api_token, const char *file_path,
                          qint64 start_offset, qint64 end_offset,
                          const char *proxy_host, const char *proxy_port, const char *use_proxy)
{
    request.setUrl(QUrl(QString::fromUtf8(url)));
    // Only https uses TLS: loading the TLS library for http would cost memory and start-up time.
    secure = request.url().scheme() == QLatin1String("https");
    if (secure) {
        // TLS 1.0 is refused by the platform's TLS library; verification stays on.
        QSslConfiguration sslConfiguration = QSslConfiguration::defaultConfiguration();
        sslConfiguration.setProtocol(QSsl::TlsV1_2OrLater);
        request.setSslConfiguration(sslConfiguration);
    }

    if (qstrcmp(use_proxy, "true") == 0) {
        qint64 port = 0;
        UploadArguments::parseDecimal(proxy_port, &port);
        manager->setProxy(QNetworkProxy(QNetworkProxy::HttpProxy, QString::fromUtf8(proxy_host), quint16(port)));
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
    outcome.bytes = bodySize;
    ConsoleMessage() << " >> Chunk size =" << bodySize << "Byte";

    request.setRawHeader("X_ZORV_API_TOKEN", api_token);
    request.setRawHeader("X_ZORV_LOCAL_TS_OFFSET", localTimeZoneOffset().toLatin1());
    request.setRawHeader("USER-AGENT", "tovanel/5.0.0");
    // Set here, Qt hands the reply over as it came and the program inflates it
    // within its cap; left to Qt, a small reply could inflate to gigabytes.
    request.setRawHeader("Accept-Encoding", "gzip,deflate");
    request.setRawHeader("Content-Type", "application/octet-stream");
    request.setRawHeader("Content-Length", QByteArray::number(bodySize));
    request.setRawHeader("Connection", "Keep-Alive");
    request.setRawHeader("Keep-Alive", "timeout=20000");
    // Without it Qt thins the progress signals and most ten-percent steps never show.
    request.setAttribute(QNetworkRequest::EmitAllUploadProgressSignalsAttribute, true);
    // Qt 6 would follow a redirect, re-posting the chunk and the token or
    // turning the POST into a GET, and would offer HTTP/2, whose flow-control
    // window stalls a large body; Qt 5's defaults, said out loud.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);

    // Opening a FIFO or a device would block or read forever.
    std::unique_ptr<QFile> file(new QFile);
    if (!found || !S_ISREG(status.st_mode) || !openRegularFile(file_path, file.get())) {
        outcome.exitStatus = 1;
        ConsoleMessage(&outcome.failure) << " >> Cannot Open input file.";
        return false;
    }
    fileSize = file->size();
    if (start_offset < 0 || end_offset < start_offset || end_offset > fileSize) {
        outcome.exitStatus = 1;
        ConsoleMessage(&outcome.failure) << " >> Invalid range:" << start_offset << "-" << end_offset << "of" << fileSize << "Byte";
        return false;
    }
    // Read while it is sent: memory stays small whatever the range.
    body = new RangeDevice(file.release(), start_offset, bodySize, this);
    connect(body, &RangeDevice::readFailed, this, [this] {
        fileFailed = true;
        ConsoleMessage(&outcome.failure) << " >> Cannot read input file.";
    });
    post();
    return true;
}

bool FileTransfer::hasFailed() const
{
    return reply && (reply->error() != QNetworkReply::NoError || unexpectedStatus || replyTooLarge);
}

void FileTransfer::setIdleTimeout(int seconds)
{
    idleTimeout = seconds;
    watchdog.setIdleTimeout(seconds);
}

void FileTransfer::setResultFile(ResultFile *file)
{
    watchdog.setResultFile(file);
}

void FileTransfer::setRetries(int count)
{
    retries = count;
}

const UploadResult &FileTransfer::result() const
{
    return outcome;
}

// Every attempt sends the range from its start, with the same headers.
void FileTransfer::post()
{
    outcome.startAttempt();
    lastPercent = 0;
    unexpectedStatus = false;
    timedOut = false;
    replyTooLarge = false;
    replyBody.start(QByteArray());
    body->seek(0);

    ConsoleMessage() << " >> Uploading Start...";
    watchdog.startAttempt(outcome);
    timer.start();
    reply = manager->post(request, body);
    if (secure)
        reply->ignoreSslErrors(QList<QSslError>() << QSslError(QSslError::UnableToDecryptCertificateSignature));
    connect(reply, SIGNAL(uploadProgress(qint64,qint64)), this, SLOT(showProgress(qint64,qint64)));
    connect(reply, &QNetworkReply::metaDataChanged, this, &FileTransfer::startReply);
    connect(reply, &QNetworkReply::readyRead, this, &FileTransfer::readReply);
    // Qt's own transfer time-out posts an event to restart its timer for every
    // 16 KiB sent; a clock read per piece and a check each second cost less.
    const auto moved = [this] { watchdog.moved(); };
    connect(reply, &QNetworkReply::uploadProgress, this, moved);
    connect(reply, &QNetworkReply::downloadProgress, this, moved);
    connect(reply, &QNetworkReply::metaDataChanged, this, moved);
    if (idleTimeout > 0) {
        QTimer *idleCheck = new QTimer(reply);
        connect(idleCheck, &QTimer::timeout, this, &FileTransfer::checkIdle);
        idleCheck->start(1000);
    }
    connect(reply, SIGNAL(finished()), this, SLOT(httpPostDataReply()));
}

// Ends the run, or waits and posts again when the failure may pass.
void FileTransfer::finishAttempt()
{
    watchdog.pause();
    outcome.exitStatus = 0;
    if (hasFailed()) {
        const bool transient = timedOut || (!fileFailed && RetryPolicy::isTransient(outcome.httpStatus, reply->error()));
        outcome.exitStatus = transient ? 75 : 1;
        if (transient && outcome.attempts <= retries) {
            const QByteArray retryAfter = outcome.httpStatus > 0 ? reply->rawHeader("Retry-After") : QByteArray();
            const int wait = RetryPolicy::waitSeconds(outcome.attempts - 1, retryAfter, QDateTime::currentDateTimeUtc());
            ConsoleMessage() << " >> Retrying in" << wait << "seconds: attempt" << outcome.attempts + 1 << "of" << retries + 1;
            QTimer::singleShot(wait * 1000, this, [this] {
                delete reply;
                post();
            });
            return;
        }
    }
    QMetaObject::invokeMethod(parent(), "quit", Qt::QueuedConnection);
}

// A non-blocking open: the name may have become a FIFO since it was looked at.
bool FileTransfer::openRegularFile(const char *path, QFile *file)
{
    const int descriptor = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (descriptor < 0)
        return false;
    struct stat status = {};
    if (fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode) || fcntl(descriptor, F_SETFL, 0) != 0
        || !file->open(descriptor, QIODevice::ReadOnly | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle)) {
        ::close(descriptor);
        return false;
    }
    return true;
}

void FileTransfer::checkIdle()
{
    const qint64 idle = watchdog.idleMilliseconds();
    if (reply->isFinished() || idle < idleTimeout * qint64(1000))
        return;
    timedOut = true;
    ConsoleMessage(&outcome.failure) << " >> Timed out: no data moved for" << idleTimeout << "seconds";
    reply->abort();
}

// A reply larger than any answer this program reads would only exhaust memory.
void FileTransfer::startReply()
{
    if (reply->header(QNetworkRequest::ContentLengthHeader).toLongLong() > maximumReplySize)
        rejectReply();
    else
        replyBody.start(reply->rawHeader("Content-Encoding"));
}

// Read as it comes, so that Qt holds no more of it than one piece.
void FileTransfer::readReply()
{
    if (!replyTooLarge && reply->isOpen() && !replyBody.append(reply->readAll()))
        rejectReply();
}

void FileTransfer::rejectReply()
{
    replyTooLarge = true;
    ConsoleMessage(&outcome.failure) << " >> Reply too large: more than" << maximumReplySize << "Byte";
    reply->abort();
}

QString FileTransfer::localTimeZoneOffset()
{
    // Truncates toward zero: UTC-3:30 is -3, never -4.
    const int hours = QDateTime::currentDateTime().offsetFromUtc() / 3600;
    return hours > 0 ? QStringLiteral("+%1").arg(hours) : QString::number(hours);
}

void FileTransfer::printTransferReport(qint64 elapsedMilliseconds, qint64 bodySize)
{
    const double seconds = elapsedMilliseconds / 1000.0;
    const double speed = bodySize * 8.0 / seconds / 1000000.0;
    ConsoleMessage() << "\n >> The uploading process took" << seconds << "Seconds";
    ConsoleMessage() << " >> The uploading Speed is" << speed << "Mb/Sec";
    ConsoleMessage() << " >> Bye...";
}

void FileTransfer::showProgress(qint64 bytes_sent, qint64 bytes_total)
{
    if (bytes_sent <= 0 || bytes_total <= 0)
        return;
    // bytes_sent * 100 overflows only beyond 92 PB; there the division comes first.
    qint64 percent = 0;
    if (__builtin_mul_overflow(bytes_sent, qint64(100), &percent))
        percent = bytes_sent / qMax<qint64>(1, bytes_total / 100);
    else
        percent /= bytes_total;
    percent = qMin<qint64>(percent, std::numeric_limits<int>::max());
    if (percent <= lastPercent)
        return;
    lastPercent = int(percent);
    if (lastPercent % 10 != 0)
        return;
    ConsoleMessage() << " >> Progress: " << lastPercent;
}

// The JSON text ends at the first zero byte; the reply's bytes are UTF-8.
int FileTransfer::statusCode(const QByteArray &body)
{
    const int zero = body.indexOf('\0');
    const QString text = QString::fromUtf8(body.constData(), zero < 0 ? body.size() : zero);
    const QVariant value = JsonScript::instance().parse(text).value(QStringLiteral("status_code"));
    // A number that is not an int would print as another one: 4294967497 as 201, 201.9 as 202.
    if (value.userType() == QMetaType::Double) {
        const double number = value.toDouble();
        const bool integral = std::trunc(number) == number && number >= std::numeric_limits<int>::min()
                              && number <= std::numeric_limits<int>::max();
        return integral ? int(number) : 0;
    }
    return value.toInt();
}

void FileTransfer::httpPostDataReply()
{
    outcome.elapsedMilliseconds = timer.elapsed();
    outcome.error = int(reply->error());
    outcome.httpStatus = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    outcome.headers = reply->rawHeaderPairs();
    readReply();
    // Not shown on an error, but an error status often says why in its body.
    outcome.reply = replyBody.bytes();
    replyBody.start(QByteArray());
    if (reply->error() != QNetworkReply::NoError || replyTooLarge) {
        ConsoleMessage(&outcome.failure) << " >> Reply Error #:" << int(reply->error());
        reply->abort();
        finishAttempt();
        return;
    }

    const QByteArray &body = outcome.reply;
    ConsoleMessage() << body;
    if (body.isNull()) {
        ConsoleMessage() << " >> Reply is Empty.";
    } else if (body.size() > maximumParsedSize) {
        // The script engine takes about 60 bytes of memory per byte of JSON.
        ConsoleMessage() << " >> status_code not read: reply over" << maximumParsedSize << "Byte";
    } else {
        outcome.statusCodeShown = true;
        outcome.statusCode = statusCode(body);
        ConsoleMessage() << " >> status_code = " << outcome.statusCode;
    }
    ConsoleMessage() << " >> reply header pairs: " << reply->rawHeaderPairs();

    // Only a 2xx status says the server took the chunk: an interim reply or an
    // unfollowed redirect does not.
    if (outcome.httpStatus < 200 || outcome.httpStatus > 299) {
        unexpectedStatus = true;
        ConsoleMessage(&outcome.failure) << " >> Unexpected HTTP status:" << outcome.httpStatus;
    }
    finishAttempt();
}
