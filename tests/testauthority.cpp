#include "testauthority.h"

#include "ownedprocess.h"

#include <QStringList>

const char TestAuthority::keyPassword[] = "k3yS3cret";

QStringList TestAuthority::expectedLines(const QString &line) const
{
    return line.isEmpty() ? QStringList() : QStringList(QString(line).replace(QLatin1String("PATH"), folder()));
}

bool TestAuthority::create()
{
    const QByteArray script = "set -e; s() { openssl x509 -req -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 \"$@\"; };"
                              "openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 -subj /CN=CA;"
                              "openssl req -x509 -newkey rsa:2048 -nodes -keyout stranger.key -out stranger.pem -days 2 -subj /CN=Stranger;"
                              "openssl req -newkey rsa:2048 -nodes -keyout client.key -out client.csr -subj /CN=client;"
                              "s -in client.csr -out client.pem;"
                              "openssl pkcs8 -topk8 -in client.key -out client-encrypted.key -passout pass:"
                              + QByteArray(keyPassword) + ";"
                              "cat client.pem ca.pem > chain.pem;"
                              "openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout ec.key -out ec.csr -subj /CN=ec;"
                              "s -in ec.csr -out ec.pem;"
                              "echo no certificate here > notes.txt";
    if (!directory.isValid())
        return false;
    original = QSslConfiguration::defaultConfiguration();
    OwnedProcess openssl;
    openssl.setWorkingDirectory(directory.path());
    openssl.setProcessChannelMode(QProcess::ForwardedOutputChannel);
    openssl.start(QStringLiteral("/bin/sh"), { QStringLiteral("-c"), QString::fromLatin1(script) });
    return openssl.waitForFinished(120000) && openssl.exitStatus() == QProcess::NormalExit && openssl.exitCode() == 0;
}
