#include "zipbuilder.h"

#include "files.h"

#include <quazip/quacrc32.h>
#include <quazip/quazip.h>
#include <quazip/quazipfile.h>
#include <quazip/quazipnewinfo.h>

#include <QDataStream>
#include <QTemporaryDir>
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
    if (!file.open(QIODevice::WriteOnly, info, nullptr, 0, Z_DEFLATED, entry.level))
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

QByteArray archiveBytes(const QVector<ZipEntry>& entries)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("p.zip"));
    return dir.isValid() && writeZip(path, entries) ? readFileBytes(path) : QByteArray();
}

quint32 zipCrc32(const QByteArray& data)
{
    QuaCrc32 crc;
    crc.update(data);
    return crc.value();
}

QByteArray declaredSizesZip(const DeclaredSizes& entries)
{
    QByteArray local;
    QByteArray central;
    QDataStream localOut(&local, QIODevice::WriteOnly);
    QDataStream centralOut(&central, QIODevice::WriteOnly);
    localOut.setByteOrder(QDataStream::LittleEndian);
    centralOut.setByteOrder(QDataStream::LittleEndian);
    const QByteArray data("x");
    const quint32 crc = zipCrc32(data);
    for (const auto& entry : entries) {
        const quint32 offset = quint32(local.size());
        localOut << quint32(0x04034b50) << quint16(45) << quint16(0) << quint16(0) << quint16(0)
                 << quint16(0x21) << crc << quint32(data.size()) << quint32(data.size())
                 << quint16(entry.first.size()) << quint16(0);
        localOut.writeRawData(entry.first.constData(), entry.first.size());
        localOut.writeRawData(data.constData(), data.size());
        // Made by Unix (version 4.5); the compressed size is real, the uncompressed one
        // (0xffffffff) is in the zip64 extra field that follows the name.
        centralOut << quint32(0x02014b50) << quint16(45 | 3 << 8) << quint16(45) << quint16(0)
                   << quint16(0) << quint16(0) << quint16(0x21) << crc << quint32(data.size())
                   << quint32(0xffffffff) << quint16(entry.first.size()) << quint16(12)
                   << quint16(0) << quint16(0) << quint16(0) << quint32(0100644u << 16) << offset;
        centralOut.writeRawData(entry.first.constData(), entry.first.size());
        centralOut << quint16(0x0001) << quint16(8) << quint64(entry.second);
    }
    QByteArray end;
    QDataStream endOut(&end, QIODevice::WriteOnly);
    endOut.setByteOrder(QDataStream::LittleEndian);
    endOut << quint32(0x06054b50) << quint16(0) << quint16(0) << quint16(entries.size())
           << quint16(entries.size()) << quint32(central.size()) << quint32(local.size())
           << quint16(0);
    return local + central + end;
}

QByteArray rawEntriesZip(const QVector<RawZipEntry>& entries)
{
    QByteArray local;
    QByteArray central;
    QDataStream localOut(&local, QIODevice::WriteOnly);
    QDataStream centralOut(&central, QIODevice::WriteOnly);
    localOut.setByteOrder(QDataStream::LittleEndian);
    centralOut.setByteOrder(QDataStream::LittleEndian);
    for (const RawZipEntry& entry : entries) {
        const quint32 offset = quint32(local.size());
        const quint32 crc = zipCrc32(entry.data);
        const quint32 size = quint32(entry.data.size());
        const bool directory = entry.name.endsWith('/') || entry.name.endsWith('\\');
        localOut << quint32(0x04034b50) << quint16(20) << entry.flags << quint16(0) << quint16(0)
                 << quint16(0x21) << crc << size << size << quint16(entry.name.size())
                 << quint16(0);
        localOut.writeRawData(entry.name.constData(), entry.name.size());
        localOut.writeRawData(entry.data.constData(), entry.data.size());
        centralOut << quint32(0x02014b50) << entry.versionMadeBy << quint16(20) << entry.flags
                   << quint16(0) << quint16(0) << quint16(0x21) << crc << size << size
                   << quint16(entry.name.size()) << quint16(entry.centralExtra.size()) << quint16(0)
                   << quint16(0) << quint16(0) << quint32(directory ? 0x10 : 0x20) << offset;
        centralOut.writeRawData(entry.name.constData(), entry.name.size());
        centralOut.writeRawData(entry.centralExtra.constData(), entry.centralExtra.size());
    }
    QByteArray end;
    QDataStream endOut(&end, QIODevice::WriteOnly);
    endOut.setByteOrder(QDataStream::LittleEndian);
    endOut << quint32(0x06054b50) << quint16(0) << quint16(0) << quint16(entries.size())
           << quint16(entries.size()) << quint32(central.size()) << quint32(local.size())
           << quint16(0);
    return local + central + end;
}

QByteArray unicodePathField(const QString& name, const QByteArray& crcOf)
{
    const QByteArray utf8 = name.toUtf8();
    QByteArray field;
    QDataStream out(&field, QIODevice::WriteOnly);
    out.setByteOrder(QDataStream::LittleEndian);
    out << quint16(0x7075) << quint16(5 + utf8.size()) << quint8(1) << zipCrc32(crcOf);
    out.writeRawData(utf8.constData(), utf8.size());
    return field;
}
