#include "extraction.h"
#include "installcontrol.h"

#include <quazip/JlCompress.h>
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

} // namespace

void readNamesAsWindowsWritesThem(QuaZip& zip)
{
    // Registered with Qt, which owns it from then on.
    static QTextCodec* const names = new StrictGbkCodec;
    // QuaZip decodes a name with the UTF-8 flag as UTF-8 whatever codec is set.
    zip.setFileNameCodec(names);
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
    readNamesAsWindowsWritesThem(zip);
    if (!zip.open(QuaZip::mdUnzip) || !zip.goToFirstFile())
        return QStringList();
    const QDir target(dir);
    QStringList extracted;
    do {
        const QString path = target.absoluteFilePath(entryPath(zip.getCurrentFileName()));
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
