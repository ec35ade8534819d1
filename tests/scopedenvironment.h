#ifndef SCOPEDENVIRONMENT_H
#define SCOPEDENVIRONMENT_H

#include "uploadsettings.h"

#include <QProcessEnvironment>
#include <QStringList>

#include <functional>

// What a row gives as "NAME=value" settings, for this process or a child's.
class ScopedEnvironment
{
public:
    // A row's value as the variable holds it: a file of a test folder becomes its path.
    using ValueMap = std::function<QString(const QString &)>;

    // For the scope: every UPLOADER_ variable and OpenSSL's two unset, then
    // the settings; all restored after.
    explicit ScopedEnvironment(const QStringList &settings, const ValueMap &map = ValueMap())
    {
        for (const QString &name : saved.keys())
            if (name.startsWith(QLatin1String("UPLOADER_")) || name.startsWith(QLatin1String("SSL_CERT_")))
                qunsetenv(name.toUtf8().constData());
        const QProcessEnvironment given = with(QProcessEnvironment(), settings, map);
        for (const QString &name : given.keys())
            qputenv(name.toUtf8().constData(), given.value(name).toUtf8());
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

    // A child's environment: the base and the settings, a value split off at its name's first '='.
    static QProcessEnvironment with(QProcessEnvironment base, const QStringList &settings, const ValueMap &map = ValueMap())
    {
        for (const QString &setting : settings) {
            const QString value = setting.section(QLatin1Char('='), 1);
            base.insert(setting.section(QLatin1Char('='), 0, 0), map ? map(value) : value);
        }
        return base;
    }

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
