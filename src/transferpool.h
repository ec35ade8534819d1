#ifndef TRANSFERPOOL_H
#define TRANSFERPOOL_H

#include "curlmulti.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QScopedPointer>

class CurlTransfer;
class FileUploadOptions;
class RateLimiter;
class UploadResult;

// The transfers of a run, one per slot, over one multi handle and paced by
// one rate limiter; they report through it, each signal naming its transfer.
class TransferPool : public QObject
{
    Q_OBJECT

public:
    TransferPool(const FileUploadOptions &options, int count, QObject *parent = nullptr);
    ~TransferPool() override;

    CurlTransfer *at(int slot) const;
    // Bytes sent so far by the attempts under way, for the status line.
    qint64 bytesUnderWay() const;

signals:
    void retryScheduled(CurlTransfer *transfer, int seconds);
    void finished(CurlTransfer *transfer, const UploadResult &result);

private:
    CurlMulti multi;
    QScopedPointer<RateLimiter> limiter;
    QList<CurlTransfer *> transfers;
    QHash<CurlTransfer *, qint64> sending;
};

#endif // TRANSFERPOOL_H
