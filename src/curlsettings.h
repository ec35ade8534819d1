#ifndef CURLSETTINGS_H
#define CURLSETTINGS_H

#include "curltransfer.h"

class FileUploadOptions;
class RateLimiter;

// What every transfer of an uploader-file run is given.
class CurlSettings
{
public:
    static CurlTransfer::Settings forRun(const FileUploadOptions &options, RateLimiter *limiter);
};

#endif // CURLSETTINGS_H
