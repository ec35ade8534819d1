#include "proxyprocess.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QTcpServer>

static quint16 unusedLoopbackPort()
{
    QTcpServer server;
    return server.listen(QHostAddress::LocalHost) ? server.serverPort() : 0;
}

ProxyProcess::ProxyProcess(const QString &logName)
    : logName(logName)
{
}

ProxyProcess::~ProxyProcess()
{
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(10000);
    }
}

QByteArray ProxyProcess::log() const
{
    QFile file(directory.filePath(logName));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Neither proxy can bind port 0 and tell which port it got, so each is given
// a port that was free a moment ago; when another process took it meanwhile,
// the proxy exits and is started again on another.
void ProxyProcess::start(const QString &program, const QStringList &options, const QByteArray &configuration,
                         const QString &startLog, const QByteArray &ready)
{
    QFile file(directory.filePath(QStringLiteral("proxy.conf")));
    QFile log(directory.filePath(startLog));
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    for (int attempt = 0; attempt < 5 && !listening; ++attempt) {
        listeningPort = unusedLoopbackPort();
        log.remove();
        if (listeningPort == 0 || !file.open(QIODevice::WriteOnly))
            return;
        file.write(QByteArray(configuration).replace("@PORT@", QByteArray::number(listeningPort)));
        file.close();
        process.start(program, options + QStringList(file.fileName()));
        if (!process.waitForStarted(10000))
            return;
        // Until it says it accepts connections, or exits because the port was
        // taken; on a loaded machine that took over 10 s.
        const QDeadlineTimer deadline(60000);
        while (!listening && !deadline.hasExpired() && !process.waitForFinished(50)) {
            // Opened anew each time: a read before the line came must not hold the file open.
            listening = log.open(QIODevice::ReadOnly) && log.readAll().contains(ready);
            log.close();
        }
        if (!listening && process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(10000);
        }
    }
}
