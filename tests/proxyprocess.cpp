#include "proxyprocess.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>

namespace {

quint16 unusedLoopbackPort()
{
    QTcpServer server;
    return server.listen(QHostAddress::LocalHost) ? server.serverPort() : 0;
}

bool accepts(quint16 port)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    return socket.waitForConnected(5000);
}

// squid started as root becomes the user proxy, which clears the signal the
// system sends a child when the test process dies; so a shell that stays root
// kills the proxy as soon as its standard input, a pipe from the test
// process, closes, whether by stop() or by the test process's end.
const char guard[] = "exec 3<&0\n"
                     "\"$@\" 3<&- </dev/null &\n"
                     "proxy=$!\n"
                     "{ read -r line <&3; kill -9 $proxy; } 2>/dev/null &\n"
                     "watcher=$!\n"
                     "wait $proxy\n"
                     "status=$?\n"
                     "kill $watcher 2>/dev/null\n"
                     "exit $status\n";

} // namespace

ProxyProcess::ProxyProcess(const QString &logName)
    : logName(logName)
{
}

ProxyProcess::~ProxyProcess()
{
    stop();
}

void ProxyProcess::stop()
{
    process.closeWriteChannel();
    process.waitForFinished(30000);
    process.stop();
}

QByteArray ProxyProcess::log() const
{
    QFile file(directory.filePath(logName));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Neither proxy can bind port 0 and tell which port it got, so each is given
// a port that was free a moment ago; when another process took it meanwhile,
// the proxy exits and is started again on another.
void ProxyProcess::start(const QString &program, const QStringList &options, const QByteArray &configuration)
{
    QFile file(directory.filePath(QStringLiteral("proxy.conf")));
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    for (int attempt = 0; attempt < 5 && !listening; ++attempt) {
        listeningPort = unusedLoopbackPort();
        QFile::remove(directory.filePath(logName));
        if (listeningPort == 0 || !file.open(QIODevice::WriteOnly))
            return;
        file.write(QByteArray(configuration).replace("@PORT@", QByteArray::number(listeningPort)));
        file.close();
        process.start(QStringLiteral("/bin/sh"), QStringList{ QStringLiteral("-c"), QString::fromLatin1(guard), QStringLiteral("guard"), program }
                                                     + options + QStringList(file.fileName()));
        if (!process.waitForStarted(30000))
            return;
        // Until it takes a connection, or exits because the port was taken;
        // on a loaded machine tinyproxy once took over 10 s to say it listens.
        const QDeadlineTimer deadline(60000);
        while (!listening && !deadline.hasExpired() && !process.waitForFinished(100))
            listening = accepts(listeningPort);
        if (!listening)
            stop();
    }
}
