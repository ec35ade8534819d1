#ifndef FILETRANSFER_H
#define FILETRANSFER_H

#include "progress.h"
#include "uploadresult.h"
#include "uploadsettings.h"

#include <QObject>
#include <QSslConfiguration>

#include <optional>
#include <QScopedPointer>

class QNetworkAccessManager;
class RateLimiter;
class UploadJob;
class Watchdog;

// The one-chunk program's console face over an upload job: checks the file
// and the range, prints progress and the reply of each attempt, and prints
// the final report when destroyed.
class FileTransfer : public QObject
{
    Q_OBJECT

public:
    // The watchdog is the process's; it is stopped before the final report.
    explicit FileTransfer(Watchdog *watchdog, QObject *parent = nullptr);
    ~FileTransfer() override;

    // Answers true once the first attempt is posted; job() then ends the run.
    bool upload(const char *url, const char *api_token, const char *file_path,
                qint64 start_offset, qint64 end_offset,
                const char *proxy_host, const char *proxy_port, const char *use_proxy);

    // True once the run has ended without a 2xx answer.
    bool hasFailed() const;
    // Idle time, retries, run time, rate and proxy credentials of every attempt.
    void setSettings(const UploadSettings &settings);
    // What https requests carry (TlsConfiguration); Qt's default one when never set.
    void setTlsConfiguration(const QSslConfiguration &configuration) { tls = configuration; }
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
    UploadSettings settings;
    // Built only for https: even an empty one starts Qt 6's TLS backend.
    std::optional<QSslConfiguration> tls;
    QScopedPointer<RateLimiter> limiter;
    // What the run ends with when nothing was posted.
    UploadResult unposted;
    Watchdog *watchdog;
    Progress progress{ Progress::Steps::Reached };
};

#endif // FILETRANSFER_H
