#ifndef RANGEDEVICE_H
#define RANGEDEVICE_H

#include <QIODevice>

class QFile;

// A byte range of an open file, read as it is sent. It can seek back to its
// start, since Qt sends a body again after some connection failures, and it
// never reads past the range when the file grows.
class RangeDevice : public QIODevice
{
    Q_OBJECT

public:
    // Takes over the file.
    RangeDevice(QFile *file, qint64 start, qint64 length, QObject *parent);

    bool isSequential() const override;
    qint64 size() const override;

signals:
    // The file gave fewer bytes than the range holds: it shrank, or it states
    // a size it does not have. Emitted once; every later read fails too.
    void readFailed();

protected:
    qint64 readData(char *data, qint64 maxSize) override;
    qint64 writeData(const char *data, qint64 maxSize) override;

private:
    QFile *file;
    const qint64 start;
    const qint64 length;
    bool failed = false;
};

#endif // RANGEDEVICE_H
