#include "installrule.h"

#include "extraction.h"

#include <QRegularExpression>
#include <QSet>

QString entryName(const QString& extractedPath)
{
    return entryPath(extractedPath).split(QLatin1Char('/')).last();
}

static QString belowDownloadDir(
    const QString& path, const QString& appDir, const QString& downloadDir)
{
    const QString prefix = appDir + QLatin1Char('/') + downloadDir + QLatin1Char('/');
    return path.startsWith(prefix) ? path.mid(prefix.size()) : path;
}

// The last non-empty part of the entry's path that is not the download directory's name.
static QString lastDirectoryPart(
    const QString& relative, const QString& downloadDir, QString subDir)
{
    static const QRegularExpression separators(QStringLiteral("[/\\\\]"));
    for (const QString& part : relative.split(separators)) {
        if (!part.isEmpty() && part != downloadDir)
            subDir = part;
    }
    return subDir;
}

QVector<InstallAction> planInstallation(const QStringList& extracted, const QString& appDir,
    const QString& downloadDir, const std::function<bool(const QString&)>& isDirectory)
{
    QVector<InstallAction> plan;
    QSet<QString> madeDirectories;
    QString currentSubDir;
    for (const QString& path : extracted) {
        const QString relative = belowDownloadDir(path, appDir, downloadDir);
        if (relative.contains(QLatin1String("Config.ini"))) {
            plan.append({ InstallAction::DropConfig, path, QString() });
            continue;
        }
        const QString target = appDir + QLatin1Char('/') + entryName(path);
        if (isDirectory(target) || madeDirectories.contains(target)
            || target.endsWith(QLatin1Char('/'))) {
            currentSubDir = lastDirectoryPart(relative, downloadDir, currentSubDir);
            const QString directory = appDir + QLatin1Char('/') + currentSubDir;
            madeDirectories.insert(directory);
            plan.append({ InstallAction::MakeDirectory, path, directory });
            continue;
        }
        if (!currentSubDir.isEmpty() && relative.contains(currentSubDir)) {
            plan.append({ InstallAction::InstallFile, path,
                appDir + QLatin1Char('/') + currentSubDir + QLatin1Char('/') + entryName(path) });
        } else {
            plan.append({ InstallAction::InstallFile, path, target });
        }
    }
    return plan;
}
