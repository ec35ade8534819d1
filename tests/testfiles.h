#ifndef TESTFILES_H
#define TESTFILES_H

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QTemporaryDir>

inline bool writeTestFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

// A temporary folder holding one file of random bytes, the same bytes for the
// same seed, so that a failing row can be run again on the same file.
class RandomFile
{
public:
    bool create(int size, quint32 seed, const QString &name = QStringLiteral("data.bin"));
    // Writes the bytes again, over whatever a test left there.
    bool restore() const { return writeTestFile(filePath, bytes); }

    const QString &path() const { return filePath; }
    const QByteArray &content() const { return bytes; }
    QString folder() const { return directory.path(); }
    // Another name in the same folder.
    QString pathOf(const QString &name) const { return directory.filePath(name); }

private:
    QTemporaryDir directory;
    QString filePath;
    QByteArray bytes;
};

#endif // TESTFILES_H
