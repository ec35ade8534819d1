#ifndef FILEUPLOADOPTIONS_H
#define FILEUPLOADOPTIONS_H

#include "exitstatus.h"
#include "urltemplate.h"

#include <QByteArray>

// The command line and environment of uploader-file, checked before anything is read or sent.
class FileUploadOptions
{
public:
    // Answers false when the run ends here, with *status: 0 after --help or
    // --version, 2 after a line that says what is wrong.
    bool parse(int argc, char *argv[], ExitStatus *status);

    // Bytes with an optional K, M or G (powers of 1024), 1 byte to 4 GiB.
    static bool parseSize(const QString &text, qint64 *bytes);

    QByteArray filePath;
    UrlTemplate urlTemplate;
    qint64 chunkSize = 8 << 20;
    int parallel = 4;
    int retries = 5;
    // Per chunk, from its first attempt.
    int retryTime = 900;
    // The whole run; 0 for none.
    int maxTime = 0;
    int idleTimeout = 900;
    // Bytes per second of all chunks together; 0 for no limit.
    qint64 limitRate = 0;
    QByteArray journalPath;
    bool restart = false;
    QByteArray proxyHost;
    quint16 proxyPort = 0;
    // From UPLOADER_PROXY_USER and UPLOADER_PROXY_PASSWORD.
    QByteArray proxyUser;
    QByteArray proxyPassword;
    // "-" for standard output, empty for none.
    QByteArray resultPath;
    bool quiet = false;
    QByteArray apiToken;
};

#endif // FILEUPLOADOPTIONS_H
