#include "messagecapture.h"

QMutex MessageCapture::mutex;
QStringList MessageCapture::captured;
std::function<void(const QString&)> MessageCapture::callback;

MessageCapture::MessageCapture(std::function<void(const QString&)> onMessage)
{
    QMutexLocker lock(&mutex);
    captured.clear();
    callback = std::move(onMessage);
    previous = qInstallMessageHandler(&MessageCapture::handle);
}

MessageCapture::~MessageCapture()
{
    qInstallMessageHandler(previous);
    QMutexLocker lock(&mutex);
    callback = {};
}

QStringList MessageCapture::lines()
{
    QMutexLocker lock(&mutex);
    return captured;
}

void MessageCapture::handle(QtMsgType, const QMessageLogContext&, const QString& message)
{
    QMutexLocker lock(&mutex);
    captured.append(message);
    if (callback)
        callback(message);
}
