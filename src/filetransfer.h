#ifndef FILETRANSFER_H
#define FILETRANSFER_H

#include "replybody.h"
#include "uploadresult.h"
#include "watchdog.h"

#include <QElapsedTimer>
#include <QNetworkRequest>
#include <QObject>

class QFile;
class QNetworkAccessManager;
class QNetworkReply;
class RangeDevice;
class ResultFile;

// Carries one upload: reads a byte range of a file, posts it, reports progress
// and the reply, and prints the final report when destroyed.
class FileTransfer : public QObject
{
    Q_OBJECT

public:
    explicit FileTransfer(QObject *parent);
    ~FileTransfer() override;

    bool upload(const char *url, const char *api_token, const char *file_path,
                qint64 start_offset, qint64 end_offset,
                const char *proxy_host, const char *proxy_port, const char *use_proxy);

    // True once a posted request has finished with an error or without a 2xx
    // status; the exit status says so.
    bool hasFailed() const;
    // Seconds without a byte moving before the request is given up; 0 waits for ever.
    void setIdleTimeout(int seconds);
    // Posts after a failure that may pass when the chunk is sent again.
    void setRetries(int count);
    // Where the result goes if the watchdog has to end the run.
    void setResultFile(ResultFile *file);
    const UploadResult &result() const;

    static QString localTimeZoneOffset();
    static void printTransferReport(qint64 elapsedMilliseconds, qint64 bodySize);
    // The integer under "status_code" of a JSON object reply, else 0.
    static int statusCode(const QByteArray &body);

    static const qint64 maximumReplySize;
    // Larger replies are shown but not parsed.
    static const int maximumParsedSize;

public slots:
    void showProgress(qint64 bytes_sent = 0, qint64 bytes_total = 1);
    void httpPostDataReply();

private:
    static bool openRegularFile(const char *path, QFile *file);
    void post();
    void finishAttempt();
    void startReply();
    void readReply();
    void rejectReply();
    void checkIdle();

    QElapsedTimer timer;
    qint64 fileSize = 0;
    qint64 bodySize = 0;
    QNetworkAccessManager *manager;
    QNetworkReply *reply = nullptr;
    QNetworkRequest request;
    RangeDevice *body = nullptr;
    bool secure = false;
    int idleTimeout = 0;
    int retries = 0;
    int lastPercent = 0;
    bool unexpectedStatus = false;
    bool timedOut = false;
    bool fileFailed = false;
    bool replyTooLarge = false;
    ReplyBody replyBody;
    Watchdog watchdog;
    UploadResult outcome;
};

#endif // FILETRANSFER_H
