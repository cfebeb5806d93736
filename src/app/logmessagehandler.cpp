#include "logmessagehandler.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>
#include <QTextStream>

const char logFileName[] = "updatetarvillogs.txt";

static QString levelLabel(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return QStringLiteral("Debug:");
    case QtWarningMsg:
        return QStringLiteral("Warning:");
    case QtCriticalMsg:
        return QStringLiteral("Critical:");
    case QtFatalMsg:
        return QStringLiteral("Fatal:");
    default:
        return QString();
    }
}

QString formatLogLine(
    QtMsgType type, const char* file, int line, const QString& message, const QDateTime& now)
{
    // The multi-argument arg() substitutes in one pass, so a %1 inside a field stays text.
    const QString location = QStringLiteral("File:(%1) Line:(%2)")
                                 .arg(QString::fromUtf8(file ? file : ""), QString::number(line));
    const QString timestamp
        = QStringLiteral("(%1)").arg(now.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss ddd")));
    return QStringLiteral("%1 %2 %3 %4\r\n").arg(levelLabel(type), location, message, timestamp);
}

namespace {

QString& logPath()
{
    static QString path = QString::fromLatin1(logFileName);
    return path;
}

QString& fallbackPath()
{
    static QString path;
    return path;
}

// Opened and closed per message, so the log is complete even if the process is killed.
bool appendTo(const QString& fileName, const QString& text)
{
    QFile file(fileName);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
        return false;
    QTextStream stream(&file);
    stream << text;
    stream.flush();
    return file.error() == QFileDevice::NoError;
}

} // namespace

void setLogDirectories(const QString& directory, const QString& fallback)
{
    logPath() = directory + QLatin1Char('/') + QLatin1String(logFileName);
    fallbackPath()
        = fallback.isEmpty() ? QString() : fallback + QLatin1Char('/') + QLatin1String(logFileName);
}

void logMessageHandler(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    // A function-local static is initialised once even when two threads log first together.
    static QMutex mutex;
    QMutexLocker lock(&mutex);

    const QString text
        = formatLogLine(type, context.file, context.line, message, QDateTime::currentDateTime());
    if (appendTo(logPath(), text) || fallbackPath().isEmpty())
        return;
    // Without any log the cause of an update that never happens cannot be found.
    QDir().mkpath(QFileInfo(fallbackPath()).path());
    appendTo(fallbackPath(), text);
}
