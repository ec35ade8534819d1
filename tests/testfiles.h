#ifndef TESTFILES_H
#define TESTFILES_H

#include <QFile>

inline bool writeTestFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

#endif // TESTFILES_H
