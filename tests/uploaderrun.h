#ifndef UPLOADERRUN_H
#define UPLOADERRUN_H

#include <QByteArray>
#include <QProcessEnvironment>
#include <QStringList>

// One run of a program of ours, with what it wrote and how it ended.
struct UploaderRun
{
    int exitCode = -1;
    bool finished = false;
    QByteArray errorOutput;
    QByteArray standardOutput;

    // The last lines of standard error, each with its line feed.
    QByteArray lastLines(int count) const;

    static UploaderRun run(const QStringList &arguments,
                           const QProcessEnvironment &environment = defaultEnvironment(),
                           const QString &program = QString());
    static QProcessEnvironment defaultEnvironment();
};

#endif // UPLOADERRUN_H
