#ifndef RELEASE_H
#define RELEASE_H

#include "zipbuilder.h"

#include <QByteArray>
#include <QString>

// The static tree a package server and version API publish, rooted in one directory:
// client/verProgram.php and client/verDll.php hold the latest versions as plain text,
// client/program/orbelan.zip is the program package, client/dll/v<version>.zip the
// database packages.
class Release {
public:
    explicit Release(const QString& rootDir);

    QString rootDir() const { return m_root; }
    QString filePath(const QString& relative) const;

    // The reply bodies, exactly as given (no line break is added).
    bool setProgramVersion(const QByteArray& body);
    bool setDatabaseVersion(const QByteArray& body);

    bool setProgramPackage(const QVector<ZipEntry>& entries);
    bool setDatabasePackage(const QString& version, const QVector<ZipEntry>& entries);
    // Any bytes at a path below the root, such as a damaged archive.
    bool setFile(const QString& relative, const QByteArray& bytes);
    bool remove(const QString& relative);

    static QString programVersionPath() { return QStringLiteral("/client/verProgram.php"); }
    static QString databaseVersionPath() { return QStringLiteral("/client/verDll.php"); }
    static QString programPackagePath() { return QStringLiteral("/client/program/orbelan.zip"); }
    static QString databasePackagePath(const QString& version)
    {
        return QStringLiteral("/client/dll/v%1.zip").arg(version);
    }

private:
    QString m_root;
};

// Writes a stored (uncompressed) archive holding one file of `size` bytes of
// pseudo-random data, quickly and without holding the data in memory. `md5` receives the
// digest of the file's content.
bool writeLargeStoredZip(
    const QString& path, const QString& entryName, qint64 size, QByteArray* md5 = nullptr);

#endif // RELEASE_H
