#include "tinyproxyprocess.h"

#include <QFile>

const char TinyproxyProcess::user[] = "proxyuser";
const char TinyproxyProcess::password[] = "pr0xyS3cret";

TinyproxyProcess::TinyproxyProcess(Policy policy)
    : ProxyProcess(QStringLiteral("log"))
{
    QByteArray rules = "Port @PORT@\nListen 127.0.0.1\nTimeout 60\nAllow 127.0.0.1\nMaxClients 10\nLogLevel Info\nLogFile \""
                       + QFile::encodeName(path("log")) + "\"\n";
    if (policy == BasicAuth)
        rules += QByteArray("BasicAuth ") + user + ' ' + password + '\n';
    if (policy == DenyAll) {
        QFile filter(path("filter"));
        filter.open(QIODevice::WriteOnly);
        rules += "Filter \"" + QFile::encodeName(filter.fileName()) + "\"\nFilterDefaultDeny Yes\n";
    }
    start(QStringLiteral("tinyproxy"), { QStringLiteral("-d"), QStringLiteral("-c") }, rules);
}
