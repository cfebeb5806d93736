#include "release.h"

#include <quazip/quazip.h>
#include <quazip/quazipfile.h>
#include <quazip/quazipnewinfo.h>

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>

Release::Release(const QString& rootDir)
    : m_root(rootDir)
{
}

QString Release::filePath(const QString& relative) const
{
    QString path = relative;
    while (path.startsWith(QLatin1Char('/')))
        path.remove(0, 1);
    return m_root + QLatin1Char('/') + path;
}

bool Release::setFile(const QString& relative, const QByteArray& bytes)
{
    const QString path = filePath(relative);
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return false;
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate)
        && file.write(bytes) == bytes.size();
}

bool Release::remove(const QString& relative) { return QFile::remove(filePath(relative)); }

bool Release::setProgramVersion(const QByteArray& body)
{
    return setFile(programVersionPath(), body);
}

bool Release::setDatabaseVersion(const QByteArray& body)
{
    return setFile(databaseVersionPath(), body);
}

bool Release::setProgramPackage(const QVector<ZipEntry>& entries)
{
    const QString path = filePath(programPackagePath());
    return QDir().mkpath(QFileInfo(path).absolutePath()) && writeZip(path, entries);
}

bool Release::setDatabasePackage(const QString& version, const QVector<ZipEntry>& entries)
{
    const QString path = filePath(databasePackagePath(version));
    return QDir().mkpath(QFileInfo(path).absolutePath()) && writeZip(path, entries);
}

bool writeLargeStoredZip(
    const QString& path, const QString& entryName, qint64 size, QByteArray* md5)
{
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return false;
    QuaZip zip(path);
    if (!zip.open(QuaZip::mdCreate))
        return false;
    QuaZipNewInfo info(entryName);
    info.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther);
    QuaZipFile file(&zip);
    // Method 0: stored, so writing costs little more than the bytes themselves.
    if (!file.open(QIODevice::WriteOnly, info, nullptr, 0, 0, 0))
        return false;
    QCryptographicHash hash(QCryptographicHash::Md5);
    QByteArray chunk(1024 * 1024, Qt::Uninitialized);
    quint64 state = 0x9E3779B97F4A7C15ull;
    qint64 left = size;
    while (left > 0) {
        const int n = int(qMin<qint64>(left, chunk.size()));
        auto* words = reinterpret_cast<quint64*>(chunk.data());
        for (int i = 0; i < chunk.size() / 8; ++i) {
            // xorshift64: not compressible and cheap enough for a hundred megabytes.
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
            words[i] = state;
        }
        if (file.write(chunk.constData(), n) != n)
            return false;
        hash.addData(chunk.constData(), n);
        left -= n;
    }
    file.close();
    if (file.getZipError() != ZIP_OK)
        return false;
    zip.close();
    if (md5)
        *md5 = hash.result();
    return zip.getZipError() == ZIP_OK;
}
