#ifndef PROXYPROCESS_H
#define PROXYPROCESS_H

#include "ownedprocess.h"

#include <QTemporaryDir>

// A proxy on a free loopback port with a configuration of its own in a
// folder of its own, stopped by its process id whether the test passed or not.
class ProxyProcess
{
public:
    ~ProxyProcess();

    bool isListening() const { return listening; }
    quint16 port() const { return listeningPort; }
    // The proxy's log of requests.
    QByteArray log() const;

protected:
    explicit ProxyProcess(const QString &logName);
    // The configuration holds @PORT@ where the port goes.
    void start(const QString &program, const QStringList &options, const QByteArray &configuration);
    QString path(const char *name) const { return directory.filePath(QString::fromLatin1(name)); }

private:
    void stop();

    QTemporaryDir directory;
    OwnedProcess process;
    const QString logName;
    quint16 listeningPort = 0;
    bool listening = false;
};

#endif // PROXYPROCESS_H
