#ifndef SCOPEDENVIRONMENT_H
#define SCOPEDENVIRONMENT_H

#include "uploadsettings.h"

#include <QProcessEnvironment>
#include <QStringList>

// The program's variables for one row: every UPLOADER_ variable and OpenSSL's
// two unset, then the given "NAME=value" settings; all restored after.
class ScopedEnvironment
{
public:
    explicit ScopedEnvironment(const QStringList &settings)
    {
        for (const QString &name : saved.keys())
            if (name.startsWith(QLatin1String("UPLOADER_")) || name.startsWith(QLatin1String("SSL_CERT_")))
                qunsetenv(name.toUtf8().constData());
        for (const QString &setting : settings)
            qputenv(setting.section(QLatin1Char('='), 0, 0).toUtf8().constData(), setting.section(QLatin1Char('='), 1).toUtf8());
    }
    ~ScopedEnvironment()
    {
        for (const QString &name : QProcessEnvironment::systemEnvironment().keys())
            if (!saved.contains(name))
                qunsetenv(name.toUtf8().constData());
        for (const QString &name : saved.keys())
            qputenv(name.toUtf8().constData(), saved.value(name).toUtf8());
    }
    ScopedEnvironment(const ScopedEnvironment &) = delete;
    ScopedEnvironment &operator=(const ScopedEnvironment &) = delete;

private:
    const QProcessEnvironment saved = QProcessEnvironment::systemEnvironment();
};

// The settings as a program reads them from this process's environment.
inline UploadSettings environmentSettings()
{
    UploadSettings settings;
    QByteArray failure;
    settings.readEnvironment(UploadSettings::Program::UploaderFile, &failure);
    return settings;
}

#endif // SCOPEDENVIRONMENT_H
