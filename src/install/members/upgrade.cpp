#include "configfile.h"
#include "debugtext.h"
#include "packageinstall.h"
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
    if (curType == 0) {
        setStatusText(QStringLiteral("正在升级主程序...%1").arg(VerList.last()));
        startProgramPackage();
    } else if (curType == 1 && VerCount >= 1) {
        setStatusText(QStringLiteral("正在升级配置文件...%1").arg(VerList.first()));
        download(packageUrl());
    }
}

QString UpdateTarvilDialog::packageUrl() const
{
    const QString path = curType == 0
        ? QStringLiteral("/client/program/orbelan.zip")
        : QStringLiteral("/client/dll/v%1.zip").arg(VerList.at(VerIndex));
    const QStringList bases = packageBaseUrls();
    return serverUrl(bases.value(packageServerIndex, bases.last()), path)
        .toString(QUrl::FullyEncoded);
}

void UpdateTarvilDialog::downloadFinished()
{
    downloadFile->flush();
    QString failure;
    const bool succeeded = downloadSucceeded(&failure);
    if (!succeeded && retryPackage())
        return;
    downloadFile->close();
    if (!succeeded) {
        keepUnfinishedPackage();
        abandonPackage(failure);
        return;
    }
    verifyThenInstall();
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
    job.extractDir = QDir(downloadDir).absolutePath();
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

bool UpdateTarvilDialog::downloadSucceeded(QString* reason) const
{
    const QString version = VerList.value(VerIndex);
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    // The transfers cut short on purpose first: their reply reports only the abort.
    if (downloadOverLimit) {
        *reason = QStringLiteral("%1 download failed: larger than %2 bytes")
                      .arg(version)
                      .arg(downloadLimitBytes);
    } else if (downloadWriteFailed || downloadFile->error() != QFileDevice::NoError) {
        *reason = QStringLiteral("%1 download failed: cannot write %2")
                      .arg(version, downloadFile->fileName());
    } else if (rangeRefused) {
        *reason
            = QStringLiteral("%1 download failed: the server's bytes do not continue the "
                             "package (Content-Range: %2)")
                  .arg(version,
                      escapedServerText(QString::fromLatin1(reply->rawHeader("Content-Range"))));
    } else if (reply->error() != QNetworkReply::NoError) {
        *reason = QStringLiteral("%1 download failed: error %2 %3")
                      .arg(version, QString::number(int(reply->error())),
                          escapedServerText(reply->errorString()));
    } else if (status != 200 && status != 206) {
        *reason = QStringLiteral("%1 download failed: HTTP status %2").arg(version).arg(status);
    } else if (endedShort()) {
        // Whatever the reply says: a package shorter than announced is not complete.
        *reason = QStringLiteral("%1 download failed: ended at %2 of %3 bytes")
                      .arg(version)
                      .arg(downloadFile->size())
                      .arg(packageTotal);
    } else {
        return true;
    }
    return false;
}

const char* UpdateTarvilDialog::recordKey() const
{
    return curType == 0 ? ConfigKey::programVersion : ConfigKey::databaseVersion;
}

QString UpdateTarvilDialog::recordVersion() const
{
    return curType == 0 ? VerList.last() : VerList.at(VerIndex);
}

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
        const QString url = packageUrl();
        setStatusText(QStringLiteral("正在升级配置文件...%1").arg(VerList.at(VerIndex)));
        download(url);
    } else {
        launchMainProgram();
    }
}
