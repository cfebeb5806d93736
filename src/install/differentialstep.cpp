#include "configfile.h"
#include "debugtext.h"
#include "differentialfetch.h"
#include "transaction.h"
#include "updatetarvildialog.h"

#include <QDebug>
#include <QDir>
#include <QNetworkReply>

// The program package: with an index on the server, only the files that differ from the
// installation are fetched; otherwise, or when anything about them fails, the whole
// package is downloaded as before.
void UpdateTarvilDialog::startProgramPackage()
{
    programIndex.clear();
    DifferentialFetch::Job job;
    job.packageUrl = QUrl(packageUrl());
    job.version = recordVersion();
    job.downloadDir = QDir(downloadDir).absolutePath();
    job.trustedKeyLines = trustedKeyLines;
    job.wanted
        = [dir = appDir](const IndexEntry& entry) { return installedFileDiffers(dir, entry); };
    differentialFetch = new DifferentialFetch(networkManager, job, this);
    connect(differentialFetch, &DifferentialFetch::progress, this,
        &UpdateTarvilDialog::downloadProgress);
    connect(differentialFetch, &DifferentialFetch::finished, this,
        &UpdateTarvilDialog::programFilesFetched);
    differentialFetch->start();
}

void UpdateTarvilDialog::programFilesFetched()
{
    const QString version = recordVersion();
    const QString failure = differentialFetch->failure();
    programIndex = differentialFetch->verifiedIndex();
    differentialFetch->deleteLater();
    if (!failure.isEmpty()) {
        differentialFetch = nullptr;
        qDebug().noquote() << quoted(
            QStringLiteral("%1 whole package: %2").arg(version, escapedServerText(failure)));
        download(packageUrl());
        return;
    }
    QString reason;
    if (!installFetchedFiles(&reason)) {
        differentialFetch = nullptr;
        // Nothing is recorded: the next run starts again from the installed version.
        qDebug().noquote() << quoted(reason);
        launchMainProgram();
        return;
    }
    qDebug().noquote() << quoted(
        QStringLiteral("%1 differential: %2").arg(version, differentialFetch->summary()));
    differentialFetch = nullptr;
    continueAfterPackage();
}

bool UpdateTarvilDialog::installFetchedFiles(QString* reason)
{
    InstallTransaction transaction(appDir);
    if (!installExtracted(differentialFetch->extracted(), transaction, reason))
        return false;
    if (!writeIni()) {
        transaction.rollBack();
        *reason = QStringLiteral("%1 install rolled back: %2: version not recorded")
                      .arg(recordVersion(), QLatin1String(configFileName));
        return false;
    }
    transaction.commit();
    return true;
}

// The verified index when it describes exactly this archive, so that it can be kept.
QByteArray UpdateTarvilDialog::programIndexOf(const QString& archive) const
{
    PackageIndex index;
    if (programIndex.isEmpty() || !readPackageIndex(programIndex, &index).isEmpty()
        || fileDigest(archive) != index.archiveDigest)
        return QByteArray();
    return programIndex;
}
