#ifndef RUNNINGPROGRAM_H
#define RUNNINGPROGRAM_H

#include <QString>

// Whether a process other than this one runs the executable at `path` (the very file, not
// another copy of the same name): the process list on Windows, /proc elsewhere. A process
// whose image cannot be read (another user's) does not count.
bool isProgramRunning(const QString& path);

#endif // RUNNINGPROGRAM_H
