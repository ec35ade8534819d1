// The uploader or, with --whole-file, uploader-file, trusting one more
// certificate authority for the benchmark's https runs, as the tests do: Qt 5
// here ignores SSL_CERT_FILE. On Qt 6 the TLS backend then loads before the
// application object and Qt warns once on standard error, which the benchmark
// discards; the programs themselves do not.
//   uploader_ca CA-FILE <the uploader's eight arguments>
//   uploader_ca CA-FILE --whole-file <uploader-file's arguments>
#include "uploaderfilemain.h"
#include "uploadermain.h"

#include <QSslConfiguration>
#include <QString>

#include <cstring>

int main(int argc, char *argv[])
{
    if (argc < 2)
        return 2;
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.addCaCertificates(QString::fromLocal8Bit(argv[1]));
    QSslConfiguration::setDefaultConfiguration(configuration);
    if (argc > 2 && std::strcmp(argv[2], "--whole-file") == 0) {
        argv[2] = argv[0];
        return uploaderFileMain(argc - 2, argv + 2);
    }
    argv[1] = argv[0];
    return uploaderMain(argc - 1, argv + 1);
}
