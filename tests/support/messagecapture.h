#ifndef MESSAGECAPTURE_H
#define MESSAGECAPTURE_H

#include <QMutex>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <functional>

// Collects the messages of every thread, as the log's handler takes them, while it lives;
// `onMessage`, when set, sees each one as it comes.
class MessageCapture {
public:
    explicit MessageCapture(std::function<void(const QString&)> onMessage = {});
    ~MessageCapture();
    MessageCapture(const MessageCapture&) = delete;
    MessageCapture& operator=(const MessageCapture&) = delete;

    static QStringList lines();

private:
    static void handle(QtMsgType, const QMessageLogContext&, const QString& message);

    QtMessageHandler previous;
    static QMutex mutex;
    static QStringList captured;
    static std::function<void(const QString&)> callback;
};

#endif // MESSAGECAPTURE_H
