#include "tinyproxyprocess.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

static quint16 freeLoopbackPort()
{
    QTcpServer server;
    return server.listen(QHostAddress::LocalHost) ? server.serverPort() : 0;
}

TinyproxyProcess::TinyproxyProcess(Policy policy)
{
    listeningPort = freeLoopbackPort();
    QFile configuration(directory.filePath(QStringLiteral("tinyproxy.conf")));
    if (listeningPort == 0 || !configuration.open(QIODevice::WriteOnly))
        return;
    QByteArray text = "Port " + QByteArray::number(listeningPort) + "\nListen 127.0.0.1\nTimeout 60\nAllow 127.0.0.1\n"
                      "MaxClients 10\nLogLevel Info\nLogFile \"" + QFile::encodeName(directory.filePath(QStringLiteral("log"))) + "\"\n";
    if (policy == DenyAll) {
        QFile filter(directory.filePath(QStringLiteral("filter")));
        filter.open(QIODevice::WriteOnly);
        text += "Filter \"" + QFile::encodeName(filter.fileName()) + "\"\nFilterDefaultDeny Yes\n";
    }
    configuration.write(text);
    configuration.close();

    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.start(QStringLiteral("tinyproxy"), QStringList() << QStringLiteral("-d") << QStringLiteral("-c")
                                                             << configuration.fileName());
    if (!process.waitForStarted(10000))
        return;
    // Bounded wait until it accepts connections.
    QElapsedTimer timer;
    timer.start();
    while (!listening && timer.elapsed() < 10000 && process.state() == QProcess::Running) {
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHost, listeningPort);
        listening = probe.waitForConnected(1000);
        if (!listening)
            QThread::msleep(50);
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
