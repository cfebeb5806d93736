#include "extraction.h"
#include "installcontrol.h"

#include <quazip/JlCompress.h>
#include <quazip/quacrc32.h>
#include <quazip/quazip.h>
#include <quazip/quazipfile.h>
#include <quazip/quazipfileinfo.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTextCodec>

namespace {

// GBK that does not guess: Qt's codec maps bytes outside GBK to private-use characters and
// drops a lead byte without its trail byte. A name whose bytes do not decode and encode back
// unchanged to ordinary characters keeps its ASCII and shows U+FFFD for every other byte,
// so the package check refuses it as not valid text.
class StrictGbkCodec : public QTextCodec {
public:
    QByteArray name() const override { return QByteArrayLiteral("UpdateTarvil-strict-GBK"); }
    int mibEnum() const override { return -936; }

protected:
    QString convertToUnicode(const char* in, int length, ConverterState*) const override
    {
        const QByteArray bytes(in, length);
        const QString text = gbk()->toUnicode(bytes);
        if (gbk()->fromUnicode(text) == bytes && !hasPrivateUse(text))
            return text;
        QString marked;
        for (const char byte : bytes)
            marked += uchar(byte) < 0x80 ? QChar(QLatin1Char(byte))
                                         : QChar(QChar::ReplacementCharacter);
        return marked;
    }
    QByteArray convertFromUnicode(const QChar* in, int length, ConverterState*) const override
    {
        return gbk()->fromUnicode(in, length);
    }

private:
    static QTextCodec* gbk() { return QTextCodec::codecForName("GBK"); }
    static bool hasPrivateUse(const QString& text)
    {
        for (const QChar c : text) {
            if (c.category() == QChar::Other_PrivateUse)
                return true;
        }
        return false;
    }
};

const quint16 utf8Flag = 0x0800; // general purpose bit 11
const quint16 unicodePathTag = 0x7075;
const int hostUnix = 3;
const int hostOsX = 19;

quint32 littleEndian(const QByteArray& bytes, int at, int size)
{
    quint32 value = 0;
    for (int i = size - 1; i >= 0; --i)
        value = value << 8 | uchar(bytes.at(at + i));
    return value;
}

// The bytes as UTF-8 text; null when they are not valid UTF-8.
QString strictUtf8(const QByteArray& bytes)
{
    QTextCodec::ConverterState state(QTextCodec::IgnoreHeader);
    const QString text
        = QTextCodec::codecForName("UTF-8")->toUnicode(bytes.constData(), bytes.size(), &state);
    return state.invalidChars == 0 && state.remainingChars == 0 ? text : QString();
}

// The name of an Info-ZIP Unicode Path field (version 1) in `extra` that was written for
// the stored name `raw`: its CRC-32 of the stored name must match, or the name was changed
// by a tool that did not know the field and the field is stale. Null when there is none.
QString unicodePath(const QByteArray& extra, const QByteArray& raw)
{
    int at = 0;
    while (at + 4 <= extra.size()) {
        const quint32 tag = littleEndian(extra, at, 2);
        const int size = int(littleEndian(extra, at + 2, 2));
        const int data = at + 4;
        if (data + size > extra.size())
            break;
        if (tag == unicodePathTag && size >= 5 && extra.at(data) == 1) {
            QuaCrc32 crc;
            crc.update(raw);
            if (littleEndian(extra, data + 1, 4) != crc.value())
                return QString();
            return strictUtf8(extra.mid(data + 5, size - 5));
        }
        at = data + size;
    }
    return QString();
}

} // namespace

void readRawNames(QuaZip& zip)
{
    // Latin-1 maps each byte to one character and back, so no name is lost before it is
    // decoded; QuaZip decodes a name with the UTF-8 flag as UTF-8 whatever codec is set.
    zip.setFileNameCodec(QTextCodec::codecForName("ISO-8859-1"));
}

QString meantEntryName(const QuaZipFileInfo64& info)
{
    if (info.flags & utf8Flag)
        return info.name;
    return decodeEntryName(info.name.toLatin1(), info.versionCreated, info.extra);
}

QString decodeEntryName(const QByteArray& raw, quint16 versionMadeBy, const QByteArray& extra)
{
    const QString unicode = unicodePath(extra, raw);
    if (!unicode.isNull())
        return unicode;
    const int host = versionMadeBy >> 8;
    if (host == hostUnix || host == hostOsX) {
        const QString text = strictUtf8(raw);
        if (!text.isNull())
            return text;
    }
    // Chinese Windows tools write names in the system code page.
    static QTextCodec* const gbk = new StrictGbkCodec;
    return gbk->toUnicode(raw);
}

QString entryPath(const QString& entryName)
{
    QString path = entryName;
    path.replace(QLatin1Char('\\'), QLatin1Char('/'));
    return path;
}

namespace {

bool isCancelled(const InstallControl* control) { return control && control->isCancelled(); }

// Pieces small enough that a cancellation stops even a very large entry at once.
bool copyInPieces(QIODevice& in, QIODevice& out, const InstallControl* control)
{
    QByteArray piece(64 * 1024, Qt::Uninitialized);
    while (!in.atEnd()) {
        const qint64 length = in.read(piece.data(), piece.size());
        if (length <= 0 || out.write(piece.constData(), length) != length)
            return false;
        if (isCancelled(control))
            return false;
    }
    return true;
}

// A file entry as JlCompress::extractFile writes it (its permissions, its CRC checked as
// it closes), in pieces; directories and links through JlCompress itself.
bool extractEntry(QuaZip& zip, const QString& path, const InstallControl* control)
{
    QuaZipFileInfo64 info;
    if (!zip.getCurrentFileInfo(&info))
        return false;
    // An empty name extracts the current entry: no second lookup by a decoded name.
    if (path.endsWith(QLatin1Char('/')) || info.isSymbolicLink())
        return JlCompress::extractFile(&zip, QString(), path);
    QuaZipFile in(&zip);
    if (!in.open(QIODevice::ReadOnly) || in.getZipError() != UNZ_OK
        || !QDir().mkpath(QFileInfo(path).absolutePath()))
        return false;
    QFile out(path);
    if (!out.open(QIODevice::WriteOnly))
        return false;
    const bool copied = copyInPieces(in, out, control) && in.getZipError() == UNZ_OK;
    out.close();
    in.close();
    if (!copied || in.getZipError() != UNZ_OK) {
        QFile::remove(path);
        return false;
    }
    if (info.getPermissions() != 0)
        out.setPermissions(info.getPermissions());
    return true;
}

} // namespace

QStringList extractPackage(const QString& archive, const QString& dir, InstallControl* control)
{
    QuaZip zip(archive);
    readRawNames(zip);
    if (!zip.open(QuaZip::mdUnzip) || !zip.goToFirstFile())
        return QStringList();
    const QDir target(dir);
    QStringList extracted;
    do {
        QuaZipFileInfo64 info;
        if (!zip.getCurrentFileInfo(&info)) {
            JlCompress::removeFile(extracted);
            return QStringList();
        }
        const QString path = target.absoluteFilePath(entryPath(meantEntryName(info)));
        if (!extractEntry(zip, path, control)) {
            JlCompress::removeFile(extracted);
            return QStringList();
        }
        extracted.append(path);
        if (isCancelled(control)) {
            JlCompress::removeFile(extracted);
            return QStringList();
        }
        if (control)
            control->advance();
    } while (zip.goToNextFile());
    zip.close();
    if (zip.getZipError() != UNZ_OK) {
        JlCompress::removeFile(extracted);
        return QStringList();
    }
    return extracted;
}
