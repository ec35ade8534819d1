#ifndef CURLERROR_H
#define CURLERROR_H

#include <QByteArray>

#include <curl/curl.h>

// A failed attempt as both programs report it: by the error number Qt gives
// the same failure, so that they name it alike, and whether it may pass.
class CurlError
{
public:
    // A transfer libcurl ended with this code; the status, if any, of what came
    // before; libcurl's own words for it (its error buffer), if any.
    static CurlError fromCode(CURLcode code, bool throughProxy, int httpStatus, const QByteArray &text = QByteArray());
    // An answer of 400 or more.
    static CurlError fromStatus(int httpStatus);

    // The console line that names it.
    QByteArray line() const;

    int number = 0;
    bool transient = false;
};

#endif // CURLERROR_H
