#include "readahead.h"

#include <QNetworkReply>

void limitReadAhead(QNetworkReply* reply)
{
    // Set now, which the network thread takes once it holds the request, and after each
    // redirect, which Qt sends as a new request. The queued call runs after Qt has handed
    // the redirected request over.
    reply->setReadBufferSize(readAheadLimitBytes);
    QObject::connect(reply, &QNetworkReply::redirected, reply, [reply] {
        QMetaObject::invokeMethod(
            reply, [reply] { reply->setReadBufferSize(readAheadLimitBytes); },
            Qt::QueuedConnection);
    });
}

QNetworkReply* ReadAheadLimitedManager::createRequest(
    Operation operation, const QNetworkRequest& request, QIODevice* outgoingData)
{
    QNetworkReply* reply = QNetworkAccessManager::createRequest(operation, request, outgoingData);
    limitReadAhead(reply);
    return reply;
}

// Qt's per-request worker in its network thread, and its slot that takes the limit.
static bool isHttpRequestWorker(const QObject* receiver)
{
    return qstrcmp(receiver->metaObject()->className(), "QHttpThreadDelegate") == 0;
}

bool ReadAheadLimitedApplication::notify(QObject* receiver, QEvent* event)
{
    const bool queuedCall = event->type() == QEvent::MetaCall;
    const bool handled = QApplication::notify(receiver, event);
    // After any queued call to the worker, the request start among them: the worker then
    // holds the request and has read nothing yet. Setting the same limit again is harmless.
    if (queuedCall && isHttpRequestWorker(receiver)) {
        QMetaObject::invokeMethod(receiver, "readBufferSizeChanged", Qt::DirectConnection,
            Q_ARG(qint64, readAheadLimitBytes));
    }
    return handled;
}
