#ifndef PACKAGECHECK_H
#define PACKAGECHECK_H

#include <QString>

// Why an entry name could write outside the extraction directory, or empty when it
// cannot: an absolute path, a drive letter, a ".." component ("\" counts as a separator
// as well), a part longer than a file system takes, or bytes that are not text.
QString unsafeEntryName(const QString& name);

// Largest total of declared entry sizes a package may unpack to.
constexpr qint64 maxUnpackedBytes = qint64(8) * 1024 * 1024 * 1024;

// Looks at every entry of the archive before anything is extracted. Returns empty when
// the package may be extracted, otherwise the reason to refuse it: an unsafe name, a
// symbolic link, or declared sizes beyond `limitBytes` or `freeBytes` (negative when
// unknown, then not checked). An archive that cannot be read passes: its extraction
// yields nothing and is reported as empty.
QString refusePackage(
    const QString& archive, qint64 freeBytes, qint64 limitBytes = maxUnpackedBytes);

// Most bytes a package download may take: no more than a package may unpack to, and no
// more than half the free space where it is stored (`freeBytes`, negative when unknown),
// since extracting it there needs at least as much again. A body that never ends must not
// fill the disk.
qint64 packageDownloadLimit(qint64 freeBytes, qint64 limitBytes = maxUnpackedBytes);

#endif // PACKAGECHECK_H
