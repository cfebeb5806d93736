#include "extraction.h"

#include <quazip/JlCompress.h>
#include <quazip/quazip.h>

#include <QDir>
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

QStringList extractPackage(
    const QString& archive, const QString& dir, const std::function<bool()>& entryDone)
{
    QuaZip zip(archive);
    readNamesAsWindowsWritesThem(zip);
    if (!zip.open(QuaZip::mdUnzip) || !zip.goToFirstFile())
        return QStringList();
    const QDir target(dir);
    QStringList extracted;
    do {
        const QString path = target.absoluteFilePath(entryPath(zip.getCurrentFileName()));
        // An empty name extracts the current entry: no second lookup by a decoded name.
        if (!JlCompress::extractFile(&zip, QString(), path)) {
            JlCompress::removeFile(extracted);
            return QStringList();
        }
        extracted.append(path);
        if (entryDone && !entryDone()) {
            JlCompress::removeFile(extracted);
            return QStringList();
        }
    } while (zip.goToNextFile());
    zip.close();
    if (zip.getZipError() != UNZ_OK) {
        JlCompress::removeFile(extracted);
        return QStringList();
    }
    return extracted;
}
