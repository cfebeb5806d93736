#ifndef APPDIRECTORY_H
#define APPDIRECTORY_H

#include <QString>

// The application directory, where the updater's executable lives, set once by the entry
// point. Every path the updater forms starts here and is absolute: Qt 5 reads the current
// directory wrongly on Windows past 260 characters, and a relative path would follow it.
// Unset (the in-process tests), it is the current directory.
QString applicationDirectory();
void setApplicationDirectory(const QString& path);

#endif // APPDIRECTORY_H
