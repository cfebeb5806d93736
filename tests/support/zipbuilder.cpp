#include "zipbuilder.h"

#include <quazip/quazip.h>
#include <quazip/quazipfile.h>
#include <quazip/quazipnewinfo.h>

#include <QTextCodec>

static quint32 unixMode(const ZipEntry& entry)
{
    switch (entry.kind) {
    case ZipEntry::Directory:
        return 0040755u;
    case ZipEntry::SymLink:
        return 0120777u;
    default:
        return 0100644u;
    }
}

static bool writeEntry(QuaZip& zip, const ZipEntry& entry)
{
    const QString name = entry.rawName.isEmpty() ? entry.name : QString::fromLatin1(entry.rawName);
    QuaZipNewInfo info(name);
    if (entry.kind == ZipEntry::File)
        info.setPermissions(entry.permissions);
    else
        info.externalAttr = unixMode(entry) << 16 | (entry.kind == ZipEntry::Directory ? 0x10 : 0);
    QuaZipFile file(&zip);
    if (!file.open(QIODevice::WriteOnly, info, nullptr, 0, Z_DEFLATED, Z_DEFAULT_COMPRESSION))
        return false;
    const bool written = file.write(entry.data) == entry.data.size();
    file.close();
    return written && file.getZipError() == ZIP_OK;
}

bool writeZip(const QString& path, const QVector<ZipEntry>& entries)
{
    QuaZip zip(path);
    bool raw = false;
    for (const ZipEntry& entry : entries)
        raw = raw || !entry.rawName.isEmpty();
    if (raw)
        zip.setFileNameCodec(QTextCodec::codecForName("ISO-8859-1"));
    else
        zip.setUtf8Enabled(true);
    if (!zip.open(QuaZip::mdCreate))
        return false;
    for (const ZipEntry& entry : entries) {
        if (!writeEntry(zip, entry))
            return false;
    }
    zip.close();
    return zip.getZipError() == ZIP_OK;
}
