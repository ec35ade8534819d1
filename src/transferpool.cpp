#include "transferpool.h"

#include "curlsettings.h"
#include "curltransfer.h"
#include "fileuploadoptions.h"
#include "ratelimiter.h"

TransferPool::TransferPool(const FileUploadOptions &options, int count, QObject *parent)
    : QObject(parent)
    , limiter(options.settings.limitRate > 0 ? new RateLimiter(options.settings.limitRate) : nullptr)
{
    const CurlTransfer::Settings settings = CurlSettings::forRun(options, limiter.data());
    for (int slot = 0; slot < count; ++slot) {
        auto *transfer = new CurlTransfer(&multi, settings);
        connect(transfer, &CurlTransfer::uploadProgress, this, [this, transfer](qint64 sent) { sending[transfer] = sent; });
        connect(transfer, &CurlTransfer::attemptStarted, this, [this, transfer] { sending[transfer] = 0; });
        connect(transfer, &CurlTransfer::retryScheduled, this, [this, transfer](int wait) { emit retryScheduled(transfer, wait); });
        connect(transfer, &CurlTransfer::finished, this, [this, transfer](const UploadResult &result) {
            sending.remove(transfer);
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

qint64 TransferPool::bytesUnderWay() const
{
    qint64 underWay = 0;
    for (const qint64 bytes : sending)
        underWay += bytes;
    return underWay;
}

// Its own meta-object code here, not in the library's shared moc unit, so that uploader links no libcurl.
#include "moc_transferpool.cpp"
