#include "receiverprocess.h"

#include "testpaths.h"

#include <QDir>
#include <QFile>

ReceiverProcess::ReceiverProcess(const QStringList &options)
{
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(QStringLiteral(PYTHON_EXECUTABLE),
                  QStringList() << QStringLiteral(RECEIVER_SCRIPT) << QStringLiteral("--store") << store.path() << options);
    if (!process.waitForStarted(10000))
        return;
    // Bounded: the receiver prints its port as soon as it listens.
    while (!process.canReadLine() && process.waitForReadyRead(10000)) {
    }
    const QByteArray line = process.readLine().trimmed();
    if (line.startsWith("port "))
        listeningPort = quint16(line.mid(5).toUInt());
}

QString ReceiverProcess::url(const QString &scheme) const
{
    return QStringLiteral("%1://127.0.0.1:%2/upload").arg(scheme).arg(listeningPort);
}

int ReceiverProcess::storedCount() const
{
    return QDir(store.path()).entryList(QStringList() << QStringLiteral("*.body"), QDir::Files).size();
}

int ReceiverProcess::heldCount() const
{
    return QDir(store.path()).entryList(QStringList() << QStringLiteral("*.held"), QDir::Files).size();
}

QByteArray ReceiverProcess::storedBody(int index) const
{
    QFile file(store.filePath(QStringLiteral("%1.body").arg(index, 4, 10, QLatin1Char('0'))));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QList<QByteArray> ReceiverProcess::storedHeaderLines(int index) const
{
    QFile file(store.filePath(QStringLiteral("%1.headers").arg(index, 4, 10, QLatin1Char('0'))));
    if (!file.open(QIODevice::ReadOnly))
        return QList<QByteArray>();
    QList<QByteArray> lines = file.readAll().split('\n');
    lines.removeAll(QByteArray());
    return lines;
}

int ReceiverProcess::storedConnection(int index) const
{
    QFile file(store.filePath(QStringLiteral("%1.connection").arg(index, 4, 10, QLatin1Char('0'))));
    return file.open(QIODevice::ReadOnly) ? file.readAll().trimmed().toInt() : 0;
}
