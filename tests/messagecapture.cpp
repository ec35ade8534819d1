#include "messagecapture.h"

#include <cstdio>
#include <unistd.h>

MessageCapture::MessageCapture()
{
    std::fflush(stderr);
    if (!file.open())
        qFatal("Cannot open a file to capture standard error");
    savedStandardError = dup(STDERR_FILENO);
    dup2(file.handle(), STDERR_FILENO);
}

MessageCapture::~MessageCapture()
{
    std::fflush(stderr);
    dup2(savedStandardError, STDERR_FILENO);
    close(savedStandardError);
}

QStringList MessageCapture::lines()
{
    std::fflush(stderr);
    file.seek(0);
    QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
    lines.removeLast();
    return lines;
}
