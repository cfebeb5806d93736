#include "publishing.h"

#include "files.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>

namespace {

bool writeTree(const QString& dir, const QMap<QString, QByteArray>& files)
{
    QDir(dir).removeRecursively();
    for (auto it = files.begin(); it != files.end(); ++it) {
        const QString path = dir + QLatin1Char('/') + it.key();
        if (!QDir().mkpath(QFileInfo(path).path()) || !writeFileBytes(path, it.value()))
            return false;
    }
    return QDir().mkpath(dir);
}

} // namespace

QString publishProgramRelease(const QString& sourceDir, const QString& serverDir,
    const QString& version, const QMap<QString, QByteArray>& files, const QString& secretKey)
{
    if (!writeTree(sourceDir, files) || !QDir().mkpath(serverDir))
        return QStringLiteral("cannot lay out %1").arg(sourceDir);
    QStringList arguments { QStringLiteral(PROJECT_SOURCE_DIR "/tools/publish.py"),
        QStringLiteral("program"), QStringLiteral("--version"), version, QStringLiteral("--from"),
        sourceDir, QStringLiteral("--to"), serverDir };
    if (!secretKey.isEmpty())
        arguments << QStringLiteral("--sign") << secretKey;
    QProcess publish;
    publish.start(QStringLiteral("python3"), arguments);
    if (!publish.waitForFinished(120000))
        return QStringLiteral("publish.py did not finish");
    if (publish.exitStatus() != QProcess::NormalExit || publish.exitCode() != 0)
        return QString::fromLocal8Bit(publish.readAllStandardError());
    return QString();
}

QString readPublishedIndex(const QString& serverDir, PackageIndex* index)
{
    return readPackageIndex(
        readFileBytes(serverDir + QStringLiteral("/client/program/orbelan.zip.index")), index);
}
