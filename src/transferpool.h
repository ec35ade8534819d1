#ifndef TRANSFERPOOL_H
#define TRANSFERPOOL_H

#include "curlmulti.h"
#include "curlsettings.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QScopedPointer>
#include <QSet>

class ClientCertificate;
class CurlTransfer;
class FileUploadOptions;
class RateLimiter;
class ReplyBudget;
class UploadResult;

// The transfers of a run, one per slot, over one multi handle, paced by one
// rate limiter, their replies within one budget of memory, their TLS
// connections verified with one store of authorities; they report through it,
// each signal naming its transfer.
class TransferPool : public QObject
{
    Q_OBJECT

public:
    TransferPool(const FileUploadOptions &options, const ClientCertificate &clientCertificate, int count, QObject *parent = nullptr);
    ~TransferPool() override;

    CurlTransfer *at(int slot) const;
    // The first libcurl option that the transfers' handles refused, empty when none: then nothing can be sent.
    QByteArray problem() const;
    // Bytes sent so far by the attempts under way, for the status line.
    qint64 bytesUnderWay() const;
    // Chunks between a failed attempt and the next.
    int waitingToRetry() const;

signals:
    void retryScheduled(CurlTransfer *transfer, int seconds);
    void finished(CurlTransfer *transfer, const UploadResult &result);
    // --verbose: an attempt's request or reply headers, masked, one line each.
    void headerLines(CurlTransfer *transfer, const QByteArray &lines);

private:
    CurlMulti multi;
    QScopedPointer<RateLimiter> limiter;
    QScopedPointer<ReplyBudget> replyBudget;
    // The run's one copy, which the transfers read.
    const CurlSettings settings;
    QList<CurlTransfer *> transfers;
    QHash<CurlTransfer *, qint64> sending;
    QSet<CurlTransfer *> waiting;
};

#endif // TRANSFERPOOL_H
