#include "messagecapture.h"

#include <QtGlobal>

static QStringList capturedLines;

static void captureMessage(QtMsgType, const QMessageLogContext &, const QString &message)
{
    capturedLines << message;
}

MessageCapture::MessageCapture()
{
    capturedLines.clear();
    qInstallMessageHandler(captureMessage);
}

MessageCapture::~MessageCapture()
{
    qInstallMessageHandler(nullptr);
}

QStringList MessageCapture::lines() const
{
    return capturedLines;
}
