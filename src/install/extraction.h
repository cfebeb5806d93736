#ifndef EXTRACTION_H
#define EXTRACTION_H

#include <QString>
#include <QStringList>

class InstallControl;

class QuaZip;
struct QuaZipFileInfo64;

// Makes `zip` hand out the names of entries without the UTF-8 flag as their bytes (one
// Latin-1 character per byte), for meantEntryName() to decode. Set before the archive is
// opened.
void readRawNames(QuaZip& zip);
// The name of an entry of a zip opened with readRawNames(), as the tool that made the
// archive meant it: with the UTF-8 flag as UTF-8, any other as decodeEntryName() says.
QString meantEntryName(const QuaZipFileInfo64& info);
// The stored name `raw` of an entry without the UTF-8 flag: the name of an Info-ZIP Unicode
// Path field (0x7075) in the central `extra` field whose CRC-32 matches `raw`; else, when
// the archive was made on Unix or macOS (the host byte of `versionMadeBy`) and `raw` is
// valid UTF-8, UTF-8; else GBK (code page 936), as Chinese Windows writes names. Bytes that
// are not GBK text keep their ASCII and become U+FFFD, so the package check refuses them.
QString decodeEntryName(const QByteArray& raw, quint16 versionMadeBy, const QByteArray& extra);

// An entry name as a path below the extraction directory: "\" separates parts as "/" does.
QString entryPath(const QString& entryName);

// Extracts every entry of the archive into `dir`, in archive order, names read as
// meantEntryName() says and "\" taken as a separator. Returns the absolute
// path of each extracted entry (`dir`, "/", the entry's path; a directory entry ends in
// "/"), or an empty list when the archive cannot be opened, holds no entries or an entry
// cannot be extracted; what was extracted by then is removed again. With `control`, each
// entry extracted counts as done, and a cancellation stops the extraction, within an entry
// as well, as a failure does.
QStringList extractPackage(
    const QString& archive, const QString& dir, InstallControl* control = nullptr);

#endif // EXTRACTION_H
