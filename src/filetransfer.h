#ifndef FILETRANSFER_H
#define FILETRANSFER_H

#include "progress.h"
#include "uploadresult.h"
#include "watchdog.h"

#include <QObject>
#include <QScopedPointer>

class QNetworkAccessManager;
class RateLimiter;
class ResultWriter;
class UploadJob;

// The one-chunk program's console face over an upload job: checks the file
// and the range, prints progress and the reply of each attempt, and prints
// the final report when destroyed.
class FileTransfer : public QObject
{
    Q_OBJECT

public:
    explicit FileTransfer(QObject *parent);
    ~FileTransfer() override;

    // Answers true once the first attempt is posted; job() then ends the run.
    bool upload(const char *url, const char *api_token, const char *file_path,
                qint64 start_offset, qint64 end_offset,
                const char *proxy_host, const char *proxy_port, const char *use_proxy);

    // True once the run has ended without a 2xx answer.
    bool hasFailed() const;
    // Seconds without a byte moving before an attempt is given up; 0 waits for ever.
    void setIdleTimeout(int seconds);
    // Posts after a failure that may pass when the chunk is sent again.
    void setRetries(int count);
    // The run's whole time, attempts and waits included; 0 for none.
    void setMaxTime(int seconds);
    // What the proxy is answered with when it asks for authentication.
    // Bytes per second; 0 for no limit.
    void setLimitRate(qint64 bytesPerSecond);
    void setProxyCredentials(const QByteArray &user, const QByteArray &password);
    // Where the result goes if the watchdog has to end the run.
    void setResultWriter(ResultWriter *writer);
    // Null until upload() has posted.
    UploadJob *job() const;
    const UploadResult &result() const;

    static QString localTimeZoneOffset();

public slots:
    void showProgress(qint64 bytes_sent = 0, qint64 bytes_total = 1);
    void httpPostDataReply();

private:
    qint64 fileSize = 0;
    qint64 bodySize = 0;
    QNetworkAccessManager *manager;
    UploadJob *transferJob = nullptr;
    int idleTimeout = 0;
    int retries = 0;
    int maxTime = 0;
    QScopedPointer<RateLimiter> limiter;
    QByteArray proxyUser;
    QByteArray proxyPassword;
    // What the run ends with when nothing was posted.
    UploadResult unposted;
    Watchdog watchdog;
    Progress progress{ Progress::Steps::Reached };
};

#endif // FILETRANSFER_H
