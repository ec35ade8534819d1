#ifndef UPLOADARGUMENTS_H
#define UPLOADARGUMENTS_H

#include <QByteArray>

// The eight positional arguments and the environment's settings, checked before anything is read or sent.
class UploadArguments
{
public:
    // Prints one line, keeps it in failure and answers false when the command
    // line is unusable. UPLOADER_RESULT and file_path are read whatever the
    // outcome: a refused run still writes its result, never over its input.
    bool parse(int argc, const char *const *argv);

    static bool parseDecimal(const QByteArray &text, qint64 *value);
    // A decimal from 0 to maximum.
    static bool parseSetting(const QByteArray &text, int maximum, int *value);
    static bool isValidUrl(const QByteArray &text);
    // The address with the password of its user part replaced by ***, to be shown.
    static QByteArray withoutPassword(const QByteArray &url);
    static bool isValidPort(const QByteArray &text);
    // A proxy's host as Qt takes it: an IPv6 literal without its brackets.
    static QByteArray proxyHostName(const QByteArray &host);
    static bool isValidToken(const QByteArray &token);

    QByteArray url;
    QByteArray api_token;
    QByteArray file_path;
    qint64 start_offset = 0;
    qint64 end_offset = 0;
    QByteArray proxy_host;
    QByteArray proxy_port;
    QByteArray use_proxy;
    // From UPLOADER_IDLE_TIMEOUT; 0 waits for ever.
    int idle_timeout = 900;
    // From UPLOADER_RETRIES: posts after a failure that may pass later.
    int retries = 0;
    // From UPLOADER_MAX_TIME: the run's whole time in seconds; 0 for none.
    int max_time = 0;
    // Bytes per second; 0 for no limit.
    qint64 limit_rate = 0;
    // From UPLOADER_PROXY_USER and UPLOADER_PROXY_PASSWORD, for a proxy that asks.
    QByteArray proxy_user;
    QByteArray proxy_password;
    // From UPLOADER_RESULT: a path, "-" for standard output, empty for none.
    QByteArray result_path;
    // The line that said why the command line is unusable.
    QByteArray failure;
};

#endif // UPLOADARGUMENTS_H
