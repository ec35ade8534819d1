#ifndef UPLOADARGUMENTS_H
#define UPLOADARGUMENTS_H

#include "uploadsettings.h"

#include <QByteArray>

// The eight positional arguments and the environment's settings, checked before anything is read or sent.
class UploadArguments
{
public:
    // Prints one line, keeps it in failure and answers false when the command
    // line or the environment is unusable. UPLOADER_RESULT and file_path are read whatever the
    // outcome: a refused run still writes its result, never over its input.
    bool parse(int argc, const char *const *argv);

    static bool isValidUrl(const QByteArray &text);
    // The address with the password of its user part replaced by ***, to be shown.
    static QByteArray withoutPassword(const QByteArray &url);

    QByteArray url;
    QByteArray api_token;
    QByteArray file_path;
    qint64 start_offset = 0;
    qint64 end_offset = 0;
    QByteArray proxy_host;
    QByteArray proxy_port;
    QByteArray use_proxy;
    // The environment's part, with the token and the proxy of the command line.
    UploadSettings settings;
    // The line that said why the command line is unusable.
    QByteArray failure;
};

#endif // UPLOADARGUMENTS_H
