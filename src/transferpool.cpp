#include "transferpool.h"

#include "curlsettings.h"
#include "curltransfer.h"
#include "fileuploadoptions.h"
#include "ratelimiter.h"
#include "replybudget.h"

#include <malloc.h>

TransferPool::TransferPool(const FileUploadOptions &options, const ClientCertificate &clientCertificate, int count, QObject *parent)
    : QObject(parent)
    , limiter(options.settings.limitRate > 0 ? new RateLimiter(options.settings.limitRate) : nullptr)
    , replyBudget(new ReplyBudget)
    , settings([&] {
        CurlSettings run = CurlSettings::forRun(options, clientCertificate, limiter.data(), replyBudget.data());
        if (options.verbose)
            run.headerLines = [this](CURL *easy, const QByteArray &lines) {
                for (CurlTransfer *transfer : qAsConst(transfers))
                    if (transfer->handle() == easy)
                        emit headerLines(transfer, lines);
            };
        return run;
    }())
{
    // The budget counts the bytes a reply holds, and so must the process: a
    // buffer of a mebibyte or more gets a mapping of its own, moved when it
    // grows rather than copied, its pages returned when it goes. Left to glibc,
    // the threshold rose to 32 MiB as replies came and went, and sixteen gzip
    // replies growing in the heap took a run from 163 to 219 MiB, near its bound.
    mallopt(M_MMAP_THRESHOLD, 1 << 20);
    for (int slot = 0; slot < count; ++slot) {
        auto *transfer = new CurlTransfer(&multi, settings);
        connect(transfer, &CurlTransfer::uploadProgress, this, [this, transfer](qint64 sent) { sending[transfer] = sent; });
        connect(transfer, &CurlTransfer::attemptStarted, this, [this, transfer] {
            sending[transfer] = 0;
            waiting.remove(transfer);
        });
        connect(transfer, &CurlTransfer::retryScheduled, this, [this, transfer](int wait) {
            // The failed attempt's bytes are not under way.
            sending[transfer] = 0;
            waiting.insert(transfer);
            emit retryScheduled(transfer, wait);
        });
        connect(transfer, &CurlTransfer::finished, this, [this, transfer](const UploadResult &result) {
            sending.remove(transfer);
            waiting.remove(transfer);
            emit finished(transfer, result);
        });
        transfers << transfer;
    }
}

TransferPool::~TransferPool()
{
    // Transfers before the multi handle that drives them.
    qDeleteAll(transfers);
}

CurlTransfer *TransferPool::at(int slot) const
{
    return transfers.at(slot);
}

QByteArray TransferPool::problem() const
{
    for (const CurlTransfer *transfer : transfers)
        if (!transfer->problem().isEmpty())
            return transfer->problem();
    return QByteArray();
}

qint64 TransferPool::bytesUnderWay() const
{
    qint64 underWay = 0;
    for (const qint64 bytes : sending)
        underWay += bytes;
    return underWay;
}

int TransferPool::waitingToRetry() const
{
    return waiting.size();
}
