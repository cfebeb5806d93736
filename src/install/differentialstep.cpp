#include "debugtext.h"
#include "differentialfetch.h"
#include "keptindex.h"
#include "transaction.h"
#include "ui_updatetarvildialog.h"
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
    DifferentialFetch::Job job;
    job.packageUrl = QUrl(packageUrl());
    job.version = recordVersion();
    job.downloadDir = QDir(downloadDir).absolutePath();
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
    return installExtracted(differentialFetch->extracted(), transaction, reason)
        && recordInstalled(transaction, reason);
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
    show();
    ui->label_text->setText(QStringLiteral("正在升级主程序...%1").arg(programVersion));
    startDifferentialFetch(
        [damaged](const IndexEntry& entry) { return damaged.contains(entry.path); }, false,
        &UpdateTarvilDialog::repairFilesFetched);
}

void UpdateTarvilDialog::repairFilesFetched()
{
    const QString version = recordVersion();
    const QString failure = differentialFetch->failure();
    const int files = differentialFetch->fileCount();
    // The kept index stays as it is: it may lack entries of files other packages replaced.
    programIndex = readKeptIndex(appDir);
    differentialFetch->deleteLater();
    QString reason;
    if (failure.isEmpty() && !installFetchedFiles(&reason))
        qDebug().noquote() << quoted(reason);
    differentialFetch = nullptr;
    if (!failure.isEmpty())
        qDebug().noquote() << quoted(
            QStringLiteral("%1 repair not possible: %2").arg(version, escapedServerText(failure)));
    else if (reason.isEmpty())
        qDebug().noquote() << quoted(
            QStringLiteral("%1 repaired: %2 files").arg(version).arg(files));
    CheckDataBaseUpdate();
}
