#ifndef EXTRACTION_H
#define EXTRACTION_H

#include <QString>
#include <QStringList>

class InstallControl;

class QuaZip;

// Makes `zip` read entry names the way the program's users' Windows tools write them: a
// name with the UTF-8 flag as UTF-8, any other in the system code page of Chinese Windows,
// GBK (code page 936), which Config.ini uses as well. Set before the archive is opened.
void readNamesAsWindowsWritesThem(QuaZip& zip);

// An entry name as a path below the extraction directory: "\" separates parts as "/" does.
QString entryPath(const QString& entryName);

// Extracts every entry of the archive into `dir`, in archive order, names read as
// readNamesAsWindowsWritesThem() says and "\" taken as a separator. Returns the absolute
// path of each extracted entry (`dir`, "/", the entry's path; a directory entry ends in
// "/"), or an empty list when the archive cannot be opened, holds no entries or an entry
// cannot be extracted; what was extracted by then is removed again. With `control`, each
// entry extracted counts as done, and a cancellation stops the extraction, within an entry
// as well, as a failure does.
QStringList extractPackage(
    const QString& archive, const QString& dir, InstallControl* control = nullptr);

#endif // EXTRACTION_H
