#include "uploaderrun.h"

#include "ownedprocess.h"
#include "testpaths.h"

UploaderRun UploaderRun::run(const QStringList &arguments, const QProcessEnvironment &environment, const QString &program)
{
    UploaderRun result;
    OwnedProcess process;
    process.setProcessEnvironment(environment);
    process.start(program.isEmpty() ? QStringLiteral(UPLOADER_BINARY) : program, arguments);
    // Bounded: a hung run fails the test instead of hanging it.
    result.finished = process.waitForFinished(120000);
    if (!result.finished)
        process.stop();
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.errorOutput = process.readAllStandardError();
    result.standardOutput = process.readAllStandardOutput();
    return result;
}

QByteArray UploaderRun::lastLines(int count) const
{
    const QList<QByteArray> lines = errorOutput.split('\n');
    return QList<QByteArray>(lines.mid(lines.size() - count - 1)).join('\n');
}

QProcessEnvironment UploaderRun::defaultEnvironment()
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    const char *const variables[] = { "QT_MESSAGE_PATTERN", "http_proxy", "https_proxy", "all_proxy", "no_proxy",
                                      "HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY", "NO_PROXY", "SSL_CERT_FILE", "SSL_CERT_DIR" };
    for (const char *variable : variables)
        environment.remove(QString::fromLatin1(variable));
    environment.insert(QStringLiteral("TZ"), QStringLiteral("UTC"));
    environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
    return environment;
}
