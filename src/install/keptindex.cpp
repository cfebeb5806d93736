#include "keptindex.h"

#include "packageindex.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QSet>

#include <algorithm>

const char keptIndexName[] = "updatetarvil.index";

QByteArray readKeptIndex(const QString& appDir)
{
    QFile file(appDir + QLatin1Char('/') + QLatin1String(keptIndexName));
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.read(indexFileLimit + 1);
}

QByteArray keptIndexAfter(
    const QVector<InstallAction>& plan, const QString& appDir, const QByteArray& packageIndex)
{
    if (!packageIndex.isEmpty())
        return packageIndex;
    PackageIndex kept;
    if (!readPackageIndex(readKeptIndex(appDir), &kept).isEmpty())
        return QByteArray();
    // Windows sees names differing only in case as one file.
    QSet<QString> replaced;
    const QDir root(appDir);
    for (const InstallAction& action : plan) {
        if (action.kind == InstallAction::InstallFile)
            replaced.insert(root.relativeFilePath(action.target).toCaseFolded());
    }
    const int before = kept.entries.size();
    kept.entries.erase(
        std::remove_if(kept.entries.begin(), kept.entries.end(),
            [&](const IndexEntry& e) { return replaced.contains(e.path.toCaseFolded()); }),
        kept.entries.end());
    return kept.entries.size() == before ? QByteArray() : writePackageIndex(kept);
}

QString addKeptIndexStep(QVector<InstallAction>* plan, const QString& appDir,
    const QString& downloadDir, const QByteArray& packageIndex)
{
    const QByteArray text = keptIndexAfter(*plan, appDir, packageIndex);
    if (text.isEmpty())
        return QString();
    const QString source = QDir(downloadDir).absoluteFilePath(QLatin1String(keptIndexName));
    QSaveFile file(source);
    if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.commit())
        return QStringLiteral("%1: cannot be written").arg(source);
    plan->append({ InstallAction::InstallFile, source,
        appDir + QLatin1Char('/') + QLatin1String(keptIndexName), false });
    return QString();
}
