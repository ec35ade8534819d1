#ifndef INPUTFILE_H
#define INPUTFILE_H

#include <QByteArray>
#include <QJsonObject>

// The file uploader-file sends. Every chunk is read through its one
// descriptor, so that a file replaced under its name is never sent in parts
// of two; its identity tells whether it changed meanwhile.
class InputFile
{
public:
    InputFile() = default;
    ~InputFile();
    Q_DISABLE_COPY(InputFile)

    enum class Opening { Opened, Unopenable, MisstatesSize };
    // A regular file only: a FIFO or a device would block or read for ever.
    // A file whose size says 0 and that gives bytes (/proc/cpuinfo) is not
    // an empty file, and its size cannot be known before it is read.
    Opening open(const QByteArray &path);
    int descriptor() const;
    qint64 size() const;
    // Its name, size, times, device and inode, as the journal's header holds them.
    QJsonObject identity() const;
    // It still has the size and times it had when opened, and its name still leads to it.
    bool isUnchanged() const;
    // The identity a file with this status has, as identity() holds it.
    static QJsonObject identityOf(const QByteArray &path, const struct stat &status);

private:
    QByteArray path;
    int input = -1;
    qint64 fileSize = 0;
    QJsonObject opened;
};

#endif // INPUTFILE_H
