// The least a Qt 5 client can do for the same job: read the range into one
// buffer, post it, wait for the reply. The benchmark's floor.
//   floor URL FILE START END [CA-FILE]
#include <QCoreApplication>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslSocket>
#include <QUrl>

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    if (argc < 5)
        return 2;
    if (argc > 5)
        QSslSocket::addDefaultCaCertificates(QString::fromLocal8Bit(argv[5]));
    QNetworkAccessManager manager;
    const qint64 start = QByteArray(argv[3]).toLongLong();
    const qint64 size = QByteArray(argv[4]).toLongLong() - start;
    QFile file(QString::fromLocal8Bit(argv[2]));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered) || !file.seek(start))
        return 1;
    QByteArray body(int(size), Qt::Uninitialized);
    if (file.read(body.data(), size) != size)
        return 1;
    file.close();

    QNetworkRequest request(QUrl(QString::fromLocal8Bit(argv[1])));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArray("application/octet-stream"));
    QNetworkReply *reply = manager.post(request, body);
    body.clear();
    QObject::connect(reply, &QNetworkReply::finished, &application, &QCoreApplication::quit);
    application.exec();
    return reply->error() == QNetworkReply::NoError ? 0 : 1;
}
