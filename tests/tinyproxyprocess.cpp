#include "tinyproxyprocess.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QTcpServer>

const char TinyproxyProcess::user[] = "proxyuser";
const char TinyproxyProcess::password[] = "pr0xyS3cret";

static quint16 unusedLoopbackPort()
{
    QTcpServer server;
    return server.listen(QHostAddress::LocalHost) ? server.serverPort() : 0;
}

// tinyproxy cannot bind port 0 and tell which port it got, so it is given a
// port that was free a moment ago; when another process took it meanwhile,
// tinyproxy exits and is started again on another.
TinyproxyProcess::TinyproxyProcess(Policy policy)
{
    QFile configuration(directory.filePath(QStringLiteral("tinyproxy.conf")));
    QFile log(directory.filePath(QStringLiteral("log")));
    QByteArray rules = "Listen 127.0.0.1\nTimeout 60\nAllow 127.0.0.1\nMaxClients 10\nLogLevel Info\nLogFile \""
                       + QFile::encodeName(log.fileName()) + "\"\n";
    if (policy == BasicAuth)
        rules += QByteArray("BasicAuth ") + user + ' ' + password + '\n';
    if (policy == DenyAll) {
        QFile filter(directory.filePath(QStringLiteral("filter")));
        filter.open(QIODevice::WriteOnly);
        rules += "Filter \"" + QFile::encodeName(filter.fileName()) + "\"\nFilterDefaultDeny Yes\n";
    }

    process.setProcessChannelMode(QProcess::ForwardedChannels);
    for (int attempt = 0; attempt < 5 && !listening; ++attempt) {
        listeningPort = unusedLoopbackPort();
        log.remove();
        if (listeningPort == 0 || !configuration.open(QIODevice::WriteOnly))
            return;
        configuration.write("Port " + QByteArray::number(listeningPort) + '\n' + rules);
        configuration.close();
        process.start(QStringLiteral("tinyproxy"), QStringList() << QStringLiteral("-d") << QStringLiteral("-c")
                                                                 << configuration.fileName());
        if (!process.waitForStarted(10000))
            return;
        // Until it says it accepts connections, or exits because the port was
        // taken; on a loaded machine that took over 10 s.
        const QDeadlineTimer deadline(60000);
        while (!listening && !deadline.hasExpired() && !process.waitForFinished(50))
            listening = log.open(QIODevice::ReadOnly) && log.readAll().contains("Accepting connections");
        log.close();
        if (!listening && process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(10000);
        }
    }
}

TinyproxyProcess::~TinyproxyProcess()
{
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(10000);
    }
}

QByteArray TinyproxyProcess::log() const
{
    QFile file(directory.filePath(QStringLiteral("log")));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
