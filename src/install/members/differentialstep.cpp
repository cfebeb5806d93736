#include "debugtext.h"
#include "differentialfetch.h"
#include "keptindex.h"
#include "packageinstall.h"
#include "updatetarvildialog.h"

#include <QDebug>
#include <QDir>
#include <QNetworkReply>
#include <QSet>

// The program package: with an index on the server, only the files that differ from the
// installation are fetched; otherwise, or when anything about them fails, the whole
// package is downloaded as before.
void UpdateTarvilDialog::startProgramPackage()
{
    // An earlier run got part of the whole package: its rest is the shorter way.
    if (hasKeptPartialFor(packageUrl())) {
        qDebug().noquote() << quoted(
            QStringLiteral("%1 whole package: an earlier run kept part of it")
                .arg(recordVersion()));
        download(packageUrl());
        return;
    }
    enterStep(RunStep::Downloading);
    announceDownload(packageUrl());
    const QString dir = appDir;
    startDifferentialFetch(
        [dir](const IndexEntry& entry) { return installedFileDiffers(dir, entry); }, true,
        &UpdateTarvilDialog::programFilesFetched);
}

// Fetches the wanted files of the program package of recordVersion().
void UpdateTarvilDialog::startDifferentialFetch(
    const std::function<bool(const IndexEntry&)>& wanted, bool wholeBeyondHalf,
    void (UpdateTarvilDialog::*done)())
{
    programIndex.clear();
    // The bar follows the fetch alone, not a package transfer before it.
    closeAndDeleteArchive();
    DifferentialFetch::Job job;
    job.packageUrl = QUrl(packageUrl());
    job.version = recordVersion();
    job.downloadDir = downloadPath;
    job.trustedKeyLines = trustedKeyLines;
    job.wanted = wanted;
    job.wholeBeyondHalf = wholeBeyondHalf;
    differentialFetch = new DifferentialFetch(networkManager, job, this);
    connect(differentialFetch, &DifferentialFetch::progress, this,
        &UpdateTarvilDialog::downloadProgress);
    connect(differentialFetch, &DifferentialFetch::finished, this, done);
    differentialFetch->start();
}

void UpdateTarvilDialog::programFilesFetched()
{
    const QString version = recordVersion();
    const QString failure = differentialFetch->failure();
    programIndex = differentialFetch->verifiedIndex();
    if (!failure.isEmpty()) {
        differentialFetch->deleteLater();
        differentialFetch = nullptr;
        qDebug().noquote() << quoted(
            QStringLiteral("%1 whole package: %2").arg(version, escapedServerText(failure)));
        download(packageUrl());
        return;
    }
    installFetchedFiles(
        QStringLiteral("%1 differential: %2").arg(version, differentialFetch->summary()), false);
}

// The fetched files go through the installation as a package's would; `line` is logged once
// they are in place.
void UpdateTarvilDialog::installFetchedFiles(const QString& line, bool repair)
{
    PackageJob job = packageJob();
    job.repair = repair;
    job.alreadyUnpacked = true;
    job.unpacked = differentialFetch->extracted();
    differentialFetch->deleteLater();
    differentialFetch = nullptr;
    installedLine = line;
    startInstalling(job);
}

// Files of the installed program package that are missing or have another size, as the kept
// index lists them; only stat calls, so a run without updates stays quick.
QSet<QString> UpdateTarvilDialog::damagedProgramFiles() const
{
    PackageIndex kept;
    QSet<QString> damaged;
    if (!readPackageIndex(readKeptIndex(appDir), &kept).isEmpty() || kept.version != programVersion)
        return damaged;
    for (const IndexEntry& entry : kept.entries) {
        if (installedFileDamaged(appDir, entry))
            damaged.insert(entry.path);
    }
    return damaged;
}

// The server has no newer program: damaged files of the installed one are restored from
// the server's package of the same version before the database is looked at. Only files
// the kept index lists: one that another package replaced is no longer there.
void UpdateTarvilDialog::repairThenCheckDatabase()
{
    const QSet<QString> damaged = damagedProgramFiles();
    if (damaged.isEmpty()) {
        CheckDataBaseUpdate();
        return;
    }
    VerList = QStringList { programVersion };
    VerIndex = 0;
    VerCount = 1;
    beginPackage();
    enterStep(RunStep::Repairing);
    show();
    setStatusText(QStringLiteral("正在升级主程序...%1").arg(programVersion));
    startDifferentialFetch(
        [damaged](const IndexEntry& entry) { return damaged.contains(entry.path); }, false,
        &UpdateTarvilDialog::repairFilesFetched);
}

void UpdateTarvilDialog::repairFilesFetched()
{
    const QString version = recordVersion();
    const QString failure = differentialFetch->failure();
    if (failure.isEmpty()) {
        // The kept index stays as it is: it may lack entries of files other packages replaced.
        programIndex = readKeptIndex(appDir);
        installFetchedFiles(QStringLiteral("%1 repaired: %2 files")
                                .arg(version)
                                .arg(differentialFetch->fileCount()),
            true);
        return;
    }
    differentialFetch->deleteLater();
    differentialFetch = nullptr;
    qDebug().noquote() << quoted(
        QStringLiteral("%1 repair not possible: %2").arg(version, escapedServerText(failure)));
    CheckDataBaseUpdate();
}
