#ifndef JOURNALNAME_H
#define JOURNALNAME_H

#include <QString>

// The directory, directly in the application directory, of the installation's journal and
// backups. Config.ini's writer keeps its own files out of it.
inline QString journalDirectoryName() { return QStringLiteral("updatetarvil.journal"); }

#endif // JOURNALNAME_H
