#ifndef LOGMESSAGEHANDLER_H
#define LOGMESSAGEHANDLER_H

#include <QDateTime>
#include <QString>
#include <QtGlobal>

// Name of the log file, relative to the application directory.
extern const char logFileName[];

// One log line, CR LF included: label, location, message and timestamp, each placed verbatim.
QString formatLogLine(
    QtMsgType type, const char* file, int line, const QString& message, const QDateTime& now);

// Where the log goes: `directory` (the application directory; unset, the current one), and
// when that cannot take it (a directory the user may not write) the same file name in
// `fallback`, made when first needed (empty: nowhere else). Set before the handler is
// installed.
void setLogDirectories(const QString& directory, const QString& fallback);

// Appends every message of the process to the log file, one line each.
void logMessageHandler(QtMsgType type, const QMessageLogContext& context, const QString& message);

#endif // LOGMESSAGEHANDLER_H
