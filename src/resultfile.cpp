#include "resultfile.h"

#include "consolemessage.h"
#include "uploadresult.h"

#include <QFile>

#include <cstdio>

bool ResultFile::open(const QByteArray &resultPath)
{
    path = resultPath;
    if (path.isEmpty() || path == "-")
        return true;
    // The temporary file is made beside the target now and renamed onto it at the end.
    file.setFileName(QFile::decodeName(path));
    if (file.open(QIODevice::WriteOnly))
        return true;
    ConsoleMessage() << " >> Cannot write UPLOADER_RESULT:" << QString::fromLocal8Bit(path);
    return false;
}

bool ResultFile::write(const UploadResult &result)
{
    if (path.isEmpty())
        return true;
    const QByteArray line = result.toJson();
    if (path == "-") {
        if (std::fwrite(line.constData(), 1, size_t(line.size()), stdout) == size_t(line.size()) && std::fflush(stdout) == 0)
            return true;
    } else if (file.write(line) == line.size() && file.commit()) {
        return true;
    }
    ConsoleMessage() << " >> Cannot write UPLOADER_RESULT:" << QString::fromLocal8Bit(path);
    return false;
}
