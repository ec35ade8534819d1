#ifndef TINYPROXYPROCESS_H
#define TINYPROXYPROCESS_H

#include <QProcess>
#include <QTemporaryDir>

// tinyproxy on a free loopback port with a configuration of its own, stopped by its process id.
class TinyproxyProcess
{
public:
    enum Policy { AllowAll, DenyAll, BasicAuth };
    // The credentials BasicAuth asks for.
    static const char user[];
    static const char password[];

    explicit TinyproxyProcess(Policy policy = AllowAll);
    ~TinyproxyProcess();

    bool isListening() const { return listening; }
    quint16 port() const { return listeningPort; }
    QByteArray log() const;

private:
    QTemporaryDir directory;
    QProcess process;
    quint16 listeningPort = 0;
    bool listening = false;
};

#endif // TINYPROXYPROCESS_H
