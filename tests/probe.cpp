// Runs single calls of FileTransfer in a fresh process.
//   probe tz                      prints localTimeZoneOffset() on standard output
//   probe limits                  checks the resource limits, then prints the soft limits
//                                 of address space, data segment and stack in kB
//   probe progress ARG...         invokes showProgress by name once per ARG:
//                                 "s/t" with two arguments, "s" with one, "-" with none
//   probe stall block|grow URL FILE RESULT
//                                 uploads FILE with an idle time-out of 1 s and a grace
//                                 of 0.2 s, and once the attempt is under way holds the
//                                 program's thread, after taking 320 MiB for "grow"
#include "filetransfer.h"
#include "jsonscript.h"
#include "resourcelimits.h"
#include "resultwriter.h"
#include "watchdog.h"

#include <QThread>
#include <QTimer>

#include <QCoreApplication>
#include <QFile>
#include <QTextStream>

#include <sys/resource.h>

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    const QStringList arguments = application.arguments().mid(1);
    Watchdog watchdog;
    FileTransfer transfer(&watchdog);

    if (arguments.value(0) == QLatin1String("tz")) {
        QTextStream(stdout) << FileTransfer::localTimeZoneOffset() << '\n';
        return 0;
    }
    if (arguments.value(0) == QLatin1String("limits")) {
        QByteArray failure;
        if (!ResourceLimits::ensureRequired(&failure))
            return 1;
        QTextStream out(stdout);
        for (const int resource : { RLIMIT_AS, RLIMIT_DATA, RLIMIT_STACK }) {
            struct rlimit limit = {};
            getrlimit(resource, &limit);
            out << qint64(limit.rlim_cur / 1024) << (resource == RLIMIT_STACK ? '\n' : ' ');
        }
        return 0;
    }
    if (arguments.value(0) == QLatin1String("stall")) {
        ResultWriter result;
        if (!result.open(QFile::encodeName(arguments.value(4)), QFile::encodeName(arguments.value(3))))
            return 2;
        UploadSettings settings;
        settings.idleTimeout = 1;
        transfer.setSettings(settings);
        watchdog.setResultWriter(&result);
        // Nothing else can end the attempt while its thread is held.
        watchdog.setGrace(200);
        if (!transfer.upload(arguments.value(2).toUtf8().constData(), "t", QFile::encodeName(arguments.value(3)).constData(), 0, 1000,
                             "", "", "false"))
            return 3;
        const bool grow = arguments.value(1) == QLatin1String("grow");
        QTimer::singleShot(100, [grow] {
            if (grow) {
                static QByteArray taken;
                taken.fill('x', 320 << 20);
            }
            QThread::sleep(120);
        });
        return application.exec();
    }
    if (arguments.value(0) != QLatin1String("progress"))
        return 2;
    for (const QString &report : arguments.mid(1)) {
        const QStringList values = report.split(QLatin1Char('/'));
        bool invoked = false;
        if (report == QLatin1String("-"))
            invoked = QMetaObject::invokeMethod(&transfer, "showProgress");
        else if (values.size() == 1)
            invoked = QMetaObject::invokeMethod(&transfer, "showProgress", Q_ARG(qint64, values.at(0).toLongLong()));
        else
            invoked = QMetaObject::invokeMethod(&transfer, "showProgress", Q_ARG(qint64, values.at(0).toLongLong()),
                                                Q_ARG(qint64, values.at(1).toLongLong()));
        if (!invoked)
            return 3;
    }
    return 0;
}
