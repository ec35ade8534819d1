#ifndef UPLOADSETTINGS_H
#define UPLOADSETTINGS_H

#include <QByteArray>
#include <QString>

// What a chunk's transfer needs beside its address and body, for both
// programs: the environment's part read once, by one parser with one set of
// messages; each program's command line fills its own part after.
class UploadSettings
{
public:
    // uploader-file takes its retries, run time, rate and result from options.
    enum class Program { Uploader, UploaderFile };

    // Keeps the line that names the first unusable variable in *failure and
    // answers false; prints nothing, so that each program reports it in its turn.
    bool readEnvironment(Program program, QByteArray *failure);
    // --token-file: every trailing CR and LF dropped; a longer file than a token may be is refused.
    bool readTokenFile(const QString &path, QByteArray *failure);

    static bool parseDecimal(const QByteArray &text, qint64 *value);
    // A decimal from lowest to highest.
    static bool parseCount(const QByteArray &text, qint64 lowest, qint64 highest, int *value);
    // Bytes with an optional K, M or G, or k, m or g (powers of 1024), 1 byte to 4 GiB.
    static bool parseSize(const QByteArray &text, qint64 *bytes);
    static bool isValidPort(const QByteArray &text);
    // A proxy's host as the stacks take it: an IPv6 literal without its brackets.
    static QByteArray proxyHostName(const QByteArray &host);
    static bool isValidToken(const QByteArray &token);
    // A host name, an IPv4 address or an IPv6 literal with or without its brackets.
    static bool isValidProxyHost(const QByteArray &host);

    // UPLOADER_API_TOKEN, null when unset.
    QByteArray apiToken;
    // Seconds without a byte moving before an attempt is given up; 0 waits for ever.
    int idleTimeout = 900;
    // Posts after a failure that may pass later.
    int retries = 0;
    // The run's whole time in seconds; 0 for none.
    int maxTime = 0;
    // Bytes per second of the whole run; 0 for no limit.
    qint64 limitRate = 0;
    // A path, "-" for standard output, empty for none.
    QByteArray resultPath;
    QByteArray proxyHost;
    quint16 proxyPort = 0;
    // For a proxy that asks.
    QByteArray proxyUser;
    QByteArray proxyPassword;
    // UPLOADER_CA_BUNDLE, beside SSL_CERT_FILE and SSL_CERT_DIR as OpenSSL reads them.
    QByteArray authorityBundle;
    QByteArray certificateFile;
    QByteArray certificateFolders;
    QByteArray clientCertificate;
    QByteArray clientKey;
    QByteArray clientKeyPassword;
};

#endif // UPLOADSETTINGS_H
