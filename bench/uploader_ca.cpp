// The uploader trusting one more certificate authority for the benchmark's
// https runs, as the tests do, beside the system's. On Qt 6 the TLS backend
// then loads before the application object and Qt warns once on standard
// error, which the benchmark discards; the program itself does not.
// (uploader-file's libcurl takes its authority from UPLOADER_CA_BUNDLE.)
//   uploader_ca CA-FILE <the uploader's eight arguments>
#include "uploadermain.h"

#include <QSslConfiguration>
#include <QString>

int main(int argc, char *argv[])
{
    if (argc < 2)
        return 2;
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.addCaCertificates(QString::fromLocal8Bit(argv[1]));
    QSslConfiguration::setDefaultConfiguration(configuration);
    argv[1] = argv[0];
    return uploaderMain(argc - 1, argv + 1);
}
