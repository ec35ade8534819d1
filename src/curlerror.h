#ifndef CURLERROR_H
#define CURLERROR_H

#include "failurekind.h"

#include <QByteArray>

#include <curl/curl.h>

// libcurl's end of a failed attempt as the program's failure kind, so that
// both programs name a failure alike, and whether it may pass.
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

    bool transient() const;

    FailureKind kind = FailureKind::None;
    // Of what came before the failure; 0 when nothing did.
    int httpStatus = 0;
};

#endif // CURLERROR_H
