#include "configfile.h"
#include "debugtext.h"
#include "packagedownload.h"
#include "packageinstall.h"
#include "runningprogram.h"
#include "updatetarvildialog.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

void UpdateTarvilDialog::startUpgrade(const QStringList& verList)
{
    VerList = verList;
    VerIndex = 0;
    VerCount = verList.size();
    beginPackage();
    if (curType == 0) {
        setStatusText(QStringLiteral("正在升级主程序...%1").arg(VerList.last()));
        startProgramPackage();
    } else if (curType == 1 && VerCount >= 1) {
        setStatusText(QStringLiteral("正在升级配置文件...%1").arg(VerList.first()));
        download(packageUrl());
    }
}

void UpdateTarvilDialog::beginPackage()
{
    const QString version = VerList.value(curType == 0 ? VerList.size() - 1 : VerIndex);
    const QString path = curType == 0 ? QStringLiteral("/client/program/orbelan.zip")
                                      : QStringLiteral("/client/dll/v%1.zip").arg(version);
    stepPackage = StepPackage { version, QStringList() };
    for (const QString& base : packageBaseUrls())
        stepPackage.urls.append(serverUrl(base, path).toString(QUrl::FullyEncoded));
}

// The step's package on the server asked now: the last listed once every other has failed.
QString UpdateTarvilDialog::packageUrl() const
{
    return stepPackage.urls.value(
        packageServerIndex, stepPackage.urls.value(stepPackage.urls.size() - 1));
}

// The package is checked, extracted, installed and recorded on a worker thread, so the
// window keeps its event loop; the bar starts again for the installation.
void UpdateTarvilDialog::installDownloadedPackage()
{
    PackageJob job = packageJob();
    job.archive = QFileInfo(downloadFile->fileName()).absoluteFilePath();
    startInstalling(job);
}

// What every installation of the current package shares.
PackageJob UpdateTarvilDialog::packageJob()
{
    PackageJob job;
    job.appDir = appDir;
    job.downloadDir = downloadDir;
    job.extractDir = downloadPath;
    job.version = VerList.value(VerIndex);
    job.recordKey = QLatin1String(recordKey());
    job.recordVersion = recordVersion();
    job.programIndex = curType == 0 ? programIndex : QByteArray();
    // The dialog's state stays as it is until the installation has finished.
    job.record = [this] { return writeIni(); };
    return job;
}

void UpdateTarvilDialog::startInstalling(const PackageJob& job)
{
    // The running main program holds its files: the installation would wait on them and
    // roll back, and would rename the running program aside.
    if (isProgramRunning(appDir + QLatin1Char('/') + mainProgram)) {
        packageInstalled({ PackageOutcome::Failed,
            QStringLiteral("%1 install postponed: %2 is running from this directory")
                .arg(job.version, mainProgram),
            true });
        return;
    }
    enterStep(job.repair ? RunStep::Repairing : RunStep::Installing);
    if (!installer) {
        installer = new PackageInstaller(this);
        connect(installer, &PackageInstaller::progressed, this,
            [this](int done, int scale) { showProgress(done, scale); });
        connect(installer, &PackageInstaller::finished, this,
            [this](const PackageOutcome& outcome) { packageInstalled(outcome); });
    }
    installer->start(job);
}

void UpdateTarvilDialog::packageInstalled(const PackageOutcome& outcome)
{
    if (closeRequested) {
        // Wholly old or wholly new by now; the close button's run ends without a hand-over.
        if (outcome.kind != PackageOutcome::Installed)
            qDebug().noquote() << quoted(outcome.reason);
        QCoreApplication::quit();
        return;
    }
    if (outcome.kind != PackageOutcome::Installed) {
        installedLine.clear();
        if (outcome.keepPackage && packageDownload && downloadFile)
            packageDownload->keepWhole(appDir, curType);
        abandonPackage(outcome.reason);
        return;
    }
    if (!installedLine.isEmpty())
        qDebug().noquote() << quoted(installedLine);
    installedLine.clear();
    releaseReply();
    closeAndDeleteArchive();
    continueAfterPackage();
}

const char* UpdateTarvilDialog::recordKey() const
{
    return curType == 0 ? ConfigKey::programVersion : ConfigKey::databaseVersion;
}

// The version the current step installs and records: the plan's last for the program, the
// package's own for the database. Empty before a plan exists.
QString UpdateTarvilDialog::recordVersion() const { return stepPackage.version; }

void UpdateTarvilDialog::abandonPackage(const QString& reason)
{
    // Nothing is recorded: the next run starts again from the last complete package.
    qDebug().noquote() << quoted(reason);
    releaseReply();
    closeAndDeleteArchive();
    launchMainProgram();
}

void UpdateTarvilDialog::closeAndDeleteArchive()
{
    // The transfer writes into the archive's file: it goes first.
    delete packageDownload;
    packageDownload = nullptr;
    // The differential path fetches no archive.
    if (!downloadFile)
        return;
    downloadFile->close();
    downloadFile->remove();
    delete downloadFile;
    downloadFile = nullptr;
}

void UpdateTarvilDialog::continueAfterPackage()
{
    if (curType == 0) {
        CheckDataBaseUpdate();
    } else if (VerIndex < VerCount - 1) {
        ++VerIndex;
        beginPackage();
        const QString url = packageUrl();
        setStatusText(QStringLiteral("正在升级配置文件...%1").arg(VerList.at(VerIndex)));
        download(url);
    } else {
        launchMainProgram();
    }
}
