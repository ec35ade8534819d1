// The least a Qt 5 client can do for the same job, the benchmark's floors:
// read the range into one buffer and post it, or (with --stream) post from a
// device that reads the range as it is sent; then wait for the reply.
//   floor [--stream] URL FILE START END [CA-FILE]
#include <QCoreApplication>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSslConfiguration>
#include <QUrl>

namespace {

class Range : public QIODevice
{
public:
    Range(QFile *file, qint64 start, qint64 length)
        : file(file), start(start), length(length)
    {
        open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    }
    bool isSequential() const override { return false; }
    qint64 size() const override { return length; }

protected:
    qint64 readData(char *data, qint64 maxSize) override
    {
        const qint64 wanted = qMin(maxSize, length - pos());
        if (wanted <= 0)
            return 0;
        return file->seek(start + pos()) ? file->read(data, wanted) : -1;
    }
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    QFile *file;
    qint64 start;
    qint64 length;
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    const bool stream = argc > 1 && qstrcmp(argv[1], "--stream") == 0;
    if (stream) {
        --argc;
        ++argv;
    }
    if (argc < 5)
        return 2;
    if (argc > 5) {
        QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
        configuration.addCaCertificates(QString::fromLocal8Bit(argv[5]));
        QSslConfiguration::setDefaultConfiguration(configuration);
    }
    QNetworkAccessManager manager;
    const qint64 start = QByteArray(argv[3]).toLongLong();
    const qint64 size = QByteArray(argv[4]).toLongLong() - start;
    QFile file(QString::fromLocal8Bit(argv[2]));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered) || !file.seek(start))
        return 1;

    QNetworkRequest request(QUrl(QString::fromLocal8Bit(argv[1])));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArray("application/octet-stream"));
    // HTTP/1.1 on both Qt versions, as the program posts.
    request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
    QNetworkReply *reply = nullptr;
    Range range(&file, start, size);
    if (stream) {
        request.setHeader(QNetworkRequest::ContentLengthHeader, size);
        reply = manager.post(request, &range);
    } else {
        QByteArray body(int(size), Qt::Uninitialized);
        if (file.read(body.data(), size) != size)
            return 1;
        file.close();
        reply = manager.post(request, body);
    }
    QObject::connect(reply, &QNetworkReply::finished, &application, &QCoreApplication::quit);
    application.exec();
    return reply->error() == QNetworkReply::NoError ? 0 : 1;
}
