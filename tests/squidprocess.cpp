#include "squidprocess.h"

#include <QFile>

const char SquidProcess::user[] = "proxyuser";
const char SquidProcess::password[] = "pr0xyS3cret";

SquidProcess::SquidProcess()
    : ProxyProcess(QStringLiteral("access.log"))
{
    // Started as root, squid runs as the user proxy, which must create its
    // logs here and let its helper read the password file.
    QFile::setPermissions(path("."), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
                                                | QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ExeGroup
                                                | QFileDevice::ReadOther | QFileDevice::WriteOther | QFileDevice::ExeOther);
    QFile passwords(path("passwd"));
    if (!passwords.open(QIODevice::WriteOnly))
        return;
    passwords.write(QByteArray(user) + ':' + password + '\n');
    passwords.close();
    const QByteArray folder = QFile::encodeName(path(".")) + '/';
    // No cache_dir: no disk cache. Only 127.0.0.1 as destination, on any port
    // and by CONNECT too; everything else is refused before authentication.
    // max_filedescriptors keeps a large ulimit from slowing the start.
    const QByteArray rules = "http_port 127.0.0.1:@PORT@\n"
                             "pid_filename " + folder + "squid.pid\n"
                             "cache_log " + folder + "cache.log\n"
                             "access_log stdio:" + folder + "access.log\n"
                             "coredump_dir " + folder + "\n"
                             "cache_store_log none\n"
                             "cache deny all\n"
                             "visible_hostname localhost\n"
                             "pinger_enable off\n"
                             "shutdown_lifetime 0 seconds\n"
                             "max_filedescriptors 1024\n"
                             "request_body_max_size 0\n"
                             "client_persistent_connections on\n"
                             "auth_param digest program /usr/lib/squid/digest_file_auth "
                             + QFile::encodeName(passwords.fileName()) + "\n"
                             "auth_param digest children 2 startup=1 idle=1\n"
                             "auth_param digest realm squid\n"
                             "acl loopback dst 127.0.0.1\n"
                             "acl authenticated proxy_auth REQUIRED\n"
                             "http_access deny !loopback\n"
                             "http_access allow authenticated\n"
                             "http_access deny all\n";

    // SIGKILL: on SIGTERM squid takes 2 s to stop even with shutdown_lifetime 0; its helper ends with it.
    start(QStringLiteral("/usr/sbin/squid"), { QStringLiteral("-N"), QStringLiteral("-f") }, rules);
}
