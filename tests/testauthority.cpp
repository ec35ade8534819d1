#include "testauthority.h"

#include "ownedprocess.h"
#include "testpaths.h"

#include <QDateTime>
#include <QFileInfo>
#include <QStringList>

const char TestAuthority::keyPassword[] = "k3yS3cret";

QString TestAuthority::folder()
{
    return QStringLiteral(TEST_AUTHORITY_DIR);
}

QStringList TestAuthority::expectedLines(const QString &line) const
{
    return line.isEmpty() ? QStringList() : QStringList(QString(line).replace(QLatin1String("PATH"), folder()));
}

bool TestAuthority::create()
{
    original = QSslConfiguration::defaultConfiguration();
    // Its certificates last two days.
    const QFileInfo made(folder());
    if (made.isDir() && made.lastModified().secsTo(QDateTime::currentDateTime()) < 24 * 3600)
        return true;
    OwnedProcess maker;
    maker.setProcessChannelMode(QProcess::ForwardedChannels);
    maker.start(QStringLiteral(PYTHON_EXECUTABLE), { QStringLiteral(TESTS_SOURCE_DIR "/authority.py"), folder() });
    return maker.waitForFinished(120000) && maker.exitStatus() == QProcess::NormalExit && maker.exitCode() == 0;
}
