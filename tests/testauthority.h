#ifndef TESTAUTHORITY_H
#define TESTAUTHORITY_H

#include <QSslConfiguration>
#include <QString>
#include <QTemporaryDir>

// A private authority and certificates from it, made by openssl in a folder of its own:
//   ca.pem, stranger.pem          two authorities, each a self-signed certificate
//   client.pem, client.key        an RSA client certificate of ca.pem and its key
//   client-encrypted.key          that key under the password of keyPassword
//   chain.pem                     client.pem followed by ca.pem
//   ec.pem, ec.key                an elliptic-curve client certificate and its key
//   notes.txt                     text without a certificate
// It keeps the default TLS configuration as it was, for the units that change it.
class TestAuthority
{
public:
    static const char keyPassword[];

    bool create();
    QString path(const char *name) const { return directory.filePath(QString::fromLatin1(name)); }
    QString folder() const { return directory.path(); }
    const QSslConfiguration &originalDefault() const { return original; }
    void restoreDefault() const { QSslConfiguration::setDefaultConfiguration(original); }
    // The lines a row expects: its one line with PATH standing for the folder, or none.
    QStringList expectedLines(const QString &line) const;

private:
    QTemporaryDir directory;
    QSslConfiguration original;
};

#endif // TESTAUTHORITY_H
