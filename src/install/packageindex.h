#ifndef PACKAGEINDEX_H
#define PACKAGEINDEX_H

#include "blake2b.h"

#include <QByteArray>
#include <QString>
#include <QVector>

#include <memory>

// The program package's index (orbelan.zip.index, written by tools/publish.py): where each
// file's local record lies in the archive and the BLAKE2b-256 digest of its contents, so
// that only the files differing from the installation need to be fetched.

constexpr int indexDigestBytes = 32;
// More entries than any program package holds; a bigger index is taken as hostile.
constexpr int indexEntryLimit = 100000;
// Most bytes an index file may take: the entry limit with long paths.
constexpr qint64 indexFileLimit = qint64(64) * 1024 * 1024;

struct IndexEntry {
    QString path; // "Orbelan.exe", "data/questions.db"
    qint64 size = 0; // unpacked
    QByteArray digest; // BLAKE2b-256 of the unpacked contents
    qint64 offset = 0; // of the local header in the archive
    qint64 length = 0; // of the whole record: header, name, extra, data, descriptor
};

struct PackageIndex {
    QString version;
    qint64 archiveLength = 0;
    QByteArray archiveDigest;
    qint64 directoryOffset = 0; // where the archive's central directory begins
    QVector<IndexEntry> entries; // in archive order
};

// Reads an index. Empty when it describes a package the updater may install from,
// otherwise why it is refused: a malformed or unknown line, a record outside the archive,
// reaching into its directory or overlapping another, a path the installation would not
// put where it says, two paths Windows takes for one, too many entries or bytes.
QString readPackageIndex(const QByteArray& text, PackageIndex* index);

// The index in the form readPackageIndex() reads.
QByteArray writePackageIndex(const PackageIndex& index);

// The directory part of an index path ("data" of "data/questions.db"), empty at the top.
QString indexDirectory(const QString& path);

// The BLAKE2b-256 digest the index lists, of data fed to it piece by piece.
// The BLAKE2b-256 digest the index lists, fed piece by piece.
class ContentHasher : public Blake2bStream {
public:
    ContentHasher()
        : Blake2bStream(indexDigestBytes)
    {
    }
};

// BLAKE2b-256 of `data`, the digest the index lists.
QByteArray contentDigest(const QByteArray& data);

// BLAKE2b-256 of the file's contents; empty when it cannot be read.
QByteArray fileDigest(const QString& fileName);

#endif // PACKAGEINDEX_H
