#ifndef TESTAUTHORITY_H
#define TESTAUTHORITY_H

#include <QSslConfiguration>
#include <QString>

// The private authority of the test run and certificates from it, in one folder
// that tests/authority.py makes (its list of files says what each is). ctest
// makes it once for every test that needs it (the fixture "authority"); a test
// run alone makes it here when it is missing or a day old.
// It keeps the default TLS configuration as it was, for the units that change it.
class TestAuthority
{
public:
    static const char keyPassword[];

    bool create();
    QString path(const char *name) const { return folder() + QLatin1Char('/') + QString::fromLatin1(name); }
    static QString folder();
    const QSslConfiguration &originalDefault() const { return original; }
    void restoreDefault() const { QSslConfiguration::setDefaultConfiguration(original); }
    // The lines a row expects: its one line with PATH standing for the folder, or none.
    QStringList expectedLines(const QString &line) const;

private:
    QSslConfiguration original;
};

#endif // TESTAUTHORITY_H
