#ifndef ZIPBUILDER_H
#define ZIPBUILDER_H

#include <QByteArray>
#include <QFile>
#include <QPair>
#include <QString>
#include <QVector>

// One entry of a test archive. A name ending in "/" is a directory entry.
struct ZipEntry {
    QString name;
    QByteArray data;
    enum Kind { File, Directory, SymLink } kind = File;
    QFile::Permissions permissions = defaultPermissions();
    // Raw name bytes, written as they are (for names that are not UTF-8); overrides `name`.
    QByteArray rawName;
    // The deflate level; 0 stores the data in deflate's plain blocks, quickly.
    int level = -1;

    static QFile::Permissions defaultPermissions()
    {
        return QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther;
    }
    static ZipEntry file(const QString& name, const QByteArray& data = QByteArray())
    {
        return ZipEntry { name, data.isNull() ? name.toUtf8() : data, File, defaultPermissions(),
            {} };
    }
    static ZipEntry directory(const QString& name)
    {
        ZipEntry entry { name, QByteArray(), Directory, defaultPermissions(), {} };
        entry.permissions |= QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther;
        return entry;
    }
    // A symbolic-link entry as Unix zip writes it: mode 0120777, the target as content.
    static ZipEntry symlink(const QString& name, const QString& target)
    {
        return ZipEntry { name, target.toUtf8(), SymLink, defaultPermissions(), {} };
    }
};

// Writes the entries, in order, into a new deflate-compressed archive at `path`.
bool writeZip(const QString& path, const QVector<ZipEntry>& entries);
// The bytes of such an archive; empty when it could not be built.
QByteArray archiveBytes(const QVector<ZipEntry>& entries);

// The CRC-32 a zip header records for `data`.
quint32 zipCrc32(const QByteArray& data);

// Entry names with the uncompressed sizes their headers declare.
using DeclaredSizes = QVector<QPair<QByteArray, quint64>>;
// A stored archive whose central directory declares the given uncompressed sizes, each
// through a zip64 extra field, whatever the entries hold (one byte each): a bomb on paper.
QByteArray declaredSizesZip(const DeclaredSizes& entries);

// An entry written header by header, for what QuaZip's writer does not let a test choose:
// the stored name's bytes, the flags, the "version made by" (host in the high byte) and
// the central directory's extra field. Stored uncompressed; a name ending in "/" or "\" is a
// directory entry.
struct RawZipEntry {
    QByteArray name;
    quint16 versionMadeBy = 0x0014; // MS-DOS/FAT, version 2.0, as Windows tools write
    quint16 flags = 0;
    QByteArray centralExtra;
    QByteArray data;
};
QByteArray rawEntriesZip(const QVector<RawZipEntry>& entries);

// An Info-ZIP Unicode Path extra field (0x7075, version 1) holding `name` as UTF-8 and the
// CRC-32 of `crcOf`, which matches when `crcOf` is the entry's stored name.
QByteArray unicodePathField(const QString& name, const QByteArray& crcOf);

#endif // ZIPBUILDER_H
