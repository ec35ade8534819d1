// A command line, arguments separated by zero bytes, through the argument checks.
#include "uploadarguments.h"

#include <QByteArray>
#include <QList>
#include <QVector>

#include <cstddef>
#include <cstdint>

static void discardMessage(QtMsgType, const QMessageLogContext &, const QString &)
{
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    qInstallMessageHandler(discardMessage);
    const QList<QByteArray> arguments = QByteArray(reinterpret_cast<const char *>(data), int(size)).split('\0');
    QVector<const char *> argv;
    for (const QByteArray &argument : arguments)
        argv << argument.constData();
    argv << nullptr;
    UploadArguments parsed;
    if (parsed.parse(argv.size() - 1, argv.constData())) {
        // What passes must be a usable range and, with the proxy on, a usable port.
        if (parsed.use_proxy == "true" && !UploadArguments::isValidPort(parsed.proxy_port))
            __builtin_trap();
        if (!UploadArguments::isValidToken(parsed.api_token))
            __builtin_trap();
    }
    return 0;
}
