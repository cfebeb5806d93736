#include "packagecheck.h"

#include "extraction.h"

#include <quazip/quazip.h>
#include <quazip/quazipfileinfo.h>

#include <QRegularExpression>

QString unsafeEntryName(const QString& name)
{
    static const QRegularExpression driveLetter(QStringLiteral("^[A-Za-z]:"));
    if (name.startsWith(QLatin1Char('/')) || name.startsWith(QLatin1Char('\\')))
        return QStringLiteral("absolute path");
    if (driveLetter.match(name).hasMatch())
        return QStringLiteral("drive letter");
    if (name.contains(QChar::ReplacementCharacter))
        return QStringLiteral("name is not valid text");
    for (const QChar c : name) {
        if (c.unicode() < 0x20)
            return QStringLiteral("control character in name");
    }
    static const QRegularExpression separators(QStringLiteral("[/\\\\]"));
    for (const QString& part : name.split(separators)) {
        if (part == QLatin1String(".."))
            return QStringLiteral("\"..\" component");
        if (part.toUtf8().size() > 255)
            return QStringLiteral("name part too long");
    }
    return QString();
}

QString refusePackage(const QString& archive, qint64 freeBytes, qint64 limitBytes)
{
    QuaZip zip(archive);
    readRawNames(zip);
    if (!zip.open(QuaZip::mdUnzip))
        return QString();
    qint64 declared = 0;
    for (const QuaZipFileInfo64& info : zip.getFileInfoList64()) {
        const QString name = meantEntryName(info);
        const QString nameProblem = unsafeEntryName(name);
        if (!nameProblem.isEmpty())
            return QStringLiteral("entry %1: %2").arg(name, nameProblem);
        if (info.isSymbolicLink())
            return QStringLiteral("entry %1: symbolic link").arg(name);
        // Compared unsigned before adding: a zip64 size near 2^64 must not wrap the total.
        if (info.uncompressedSize > quint64(qMax<qint64>(limitBytes - declared, 0)))
            return QStringLiteral("unpacks to more than %1 bytes").arg(limitBytes);
        declared += qint64(info.uncompressedSize);
    }
    // QStorageInfo gives -1 when it cannot tell; an unknown free space does not block updates.
    if (freeBytes >= 0 && declared > freeBytes)
        return QStringLiteral("unpacks to %1 bytes, %2 bytes free").arg(declared).arg(freeBytes);
    return QString();
}

qint64 packageDownloadLimit(qint64 freeBytes, qint64 limitBytes)
{
    return freeBytes < 0 ? limitBytes : qMin(limitBytes, freeBytes / 2);
}
