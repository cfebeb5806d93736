#include "keptpartial.h"

#include "signature.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

const char keptPartialName[] = "updatetarvil.partial";
const char keptPartialRecordName[] = "updatetarvil.partial.json";

namespace {

QString bytesPath(const QString& appDir)
{
    return appDir + QLatin1Char('/') + QLatin1String(keptPartialName);
}

QString recordPath(const QString& appDir)
{
    return appDir + QLatin1Char('/') + QLatin1String(keptPartialRecordName);
}

// Larger than any record this program writes; anything bigger is not one of them.
constexpr qint64 recordLimit = 16 * 1024;

QByteArray recordText(const KeptPartial& partial)
{
    QJsonObject object;
    object.insert(QStringLiteral("type"), partial.packageType);
    object.insert(QStringLiteral("version"), partial.version);
    object.insert(QStringLiteral("url"), partial.url);
    object.insert(QStringLiteral("validator"), QString::fromLatin1(partial.validator));
    object.insert(QStringLiteral("total"), QString::number(partial.total));
    object.insert(QStringLiteral("size"), QString::number(partial.size));
    if (partial.whole)
        object.insert(QStringLiteral("whole"), true);
    return QJsonDocument(object).toJson();
}

KeptPartial parseRecord(const QByteArray& text)
{
    const QJsonObject object = QJsonDocument::fromJson(text).object();
    KeptPartial partial;
    partial.packageType = object.value(QStringLiteral("type")).toInt(-1);
    partial.version = object.value(QStringLiteral("version")).toString();
    partial.url = object.value(QStringLiteral("url")).toString();
    partial.validator = object.value(QStringLiteral("validator")).toString().toLatin1();
    bool totalOk = false;
    bool sizeOk = false;
    partial.total = object.value(QStringLiteral("total")).toString().toLongLong(&totalOk);
    partial.size = object.value(QStringLiteral("size")).toString().toLongLong(&sizeOk);
    partial.whole = object.value(QStringLiteral("whole")).toBool();
    if (!totalOk || !sizeOk)
        return KeptPartial();
    return partial;
}

} // namespace

bool KeptPartial::isValid() const
{
    // Bytes to continue need what a range request must carry; a whole package needs none.
    const bool continuable = !whole && !validator.isEmpty() && total > size;
    const bool complete = whole && total == size;
    return (packageType == 0 || packageType == 1) && !version.isEmpty() && !url.isEmpty()
        && size > 0 && (continuable || complete);
}

bool KeptPartial::isFor(int type, const QString& packageVersion) const
{
    return isValid() && packageType == type && version == packageVersion;
}

QString keepPartial(const QString& appDir, const QString& file, const KeptPartial& partial)
{
    // The record goes first: bytes without a record are never mistaken for a partial.
    dropKeptPartial(appDir);
    if (!partial.isValid() || QFileInfo(file).size() != partial.size)
        return QStringLiteral("nothing to resume from");
    if (!QFile::rename(file, bytesPath(appDir)))
        return QStringLiteral("%1 cannot be moved to %2").arg(file, bytesPath(appDir));
    QSaveFile record(recordPath(appDir));
    const QByteArray text = recordText(partial);
    if (!record.open(QIODevice::WriteOnly) || record.write(text) != text.size()
        || !record.commit()) {
        QFile::remove(bytesPath(appDir));
        return QStringLiteral("%1 cannot be written").arg(recordPath(appDir));
    }
    return QString();
}

KeptPartial readKeptPartial(const QString& appDir, QString* dropped)
{
    QFile record(recordPath(appDir));
    const bool hasBytes = QFileInfo::exists(bytesPath(appDir));
    if (!record.exists() && !hasBytes)
        return KeptPartial();
    KeptPartial partial;
    if (record.open(QIODevice::ReadOnly) && record.size() <= recordLimit)
        partial = parseRecord(record.readAll());
    record.close();
    if (!partial.isValid() || QFileInfo(bytesPath(appDir)).size() != partial.size) {
        dropKeptPartial(appDir);
        if (dropped)
            *dropped = QStringLiteral("its record does not describe the bytes kept");
        return KeptPartial();
    }
    return partial;
}

bool takeKeptPartial(const QString& appDir, const QString& file)
{
    QFile::remove(recordPath(appDir));
    QFile::remove(file);
    if (QFile::rename(bytesPath(appDir), file))
        return true;
    QFile::remove(bytesPath(appDir));
    return false;
}

void dropKeptPartial(const QString& appDir)
{
    QFile::remove(recordPath(appDir));
    QFile::remove(bytesPath(appDir));
}

bool hashFileInto(const QString& file, qint64 size, PackageHasher* hasher)
{
    QFile in(file);
    if (!in.open(QIODevice::ReadOnly))
        return false;
    constexpr qint64 slice = 1024 * 1024;
    qint64 done = 0;
    while (done < size) {
        const QByteArray data = in.read(qMin(slice, size - done));
        if (data.isEmpty())
            return false;
        hasher->addData(data);
        done += data.size();
    }
    return true;
}
