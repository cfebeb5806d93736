#include "configfile.h"
#include "debugtext.h"
#include "extraction.h"
#include "installrule.h"
#include "keptindex.h"
#include "packagecheck.h"
#include "transaction.h"
#include "ui_updatetarvildialog.h"
#include "updatetarvildialog.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStorageInfo>

void UpdateTarvilDialog::startUpgrade(const QStringList& verList)
{
    VerList = verList;
    VerIndex = 0;
    VerCount = verList.size();
    if (curType == 0) {
        ui->label_text->setText(QStringLiteral("正在升级主程序...%1").arg(VerList.last()));
        startProgramPackage();
    } else if (curType == 1 && VerCount >= 1) {
        ui->label_text->setText(QStringLiteral("正在升级配置文件...%1").arg(VerList.first()));
        download(packageUrl());
    }
}

QString UpdateTarvilDialog::packageUrl() const
{
    const QString path = curType == 0
        ? QStringLiteral("/client/program/orbelan.zip")
        : QStringLiteral("/client/dll/v%1.zip").arg(VerList.at(VerIndex));
    return serverUrl(packageBaseUrl(), path).toString(QUrl::FullyEncoded);
}

void UpdateTarvilDialog::downloadFinished()
{
    downloadFile->flush();
    downloadFile->close();
    QString failure;
    if (!downloadSucceeded(&failure)) {
        abandonPackage(failure);
        return;
    }
    verifyThenInstall();
}

void UpdateTarvilDialog::installDownloadedPackage()
{
    QString failure;
    InstallTransaction transaction(appDir);
    if (!installPackage(downloadFile->fileName(), transaction, &failure)
        || !recordInstalled(transaction, &failure)) {
        abandonPackage(failure);
        return;
    }
    reply->deleteLater();
    reply = nullptr;
    closeAndDeleteArchive();
    continueAfterPackage();
}

// The version record decides whether the applied package counts as installed.
bool UpdateTarvilDialog::recordInstalled(InstallTransaction& transaction, QString* reason)
{
    if (!writeIni()) {
        transaction.rollBack();
        *reason = QStringLiteral("%1 install rolled back: %2: version not recorded")
                      .arg(VerList.value(VerIndex), QLatin1String(configFileName));
        return false;
    }
    transaction.commit();
    return true;
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
    } else if (reply->error() != QNetworkReply::NoError) {
        *reason = QStringLiteral("%1 download failed: error %2 %3")
                      .arg(version, QString::number(int(reply->error())),
                          escapedServerText(reply->errorString()));
    } else if (status != 200) {
        *reason = QStringLiteral("%1 download failed: HTTP status %2").arg(version).arg(status);
    } else {
        return true;
    }
    return false;
}

// Extracts the archive into the download directory and puts its files in place through
// `transaction`. False, with the reason, when the installation is as it was before.
bool UpdateTarvilDialog::installPackage(
    const QString& archive, InstallTransaction& transaction, QString* reason)
{
    const QString version = VerList.value(VerIndex);
    const QString refusal = refusePackage(archive, QStorageInfo(appDir).bytesAvailable());
    if (!refusal.isEmpty()) {
        *reason = QStringLiteral("%1 package refused: %2").arg(version, refusal);
        return false;
    }
    const QStringList extracted = extractPackage(archive, downloadDir);
    if (extracted.isEmpty()) {
        *reason = QStringLiteral("%1 zip is Empty").arg(version);
        return false;
    }
    programIndex = curType == 0 ? programIndexOf(archive) : QByteArray();
    return installExtracted(extracted, transaction, reason);
}

// Puts the extracted files in place through `transaction`, with the kept index changed to
// match in the same step.
bool UpdateTarvilDialog::installExtracted(
    const QStringList& extracted, InstallTransaction& transaction, QString* reason)
{
    const QString version = VerList.value(VerIndex);
    const QString currentDir = QDir::currentPath();
    auto plan = planInstallation(extracted, currentDir, downloadDir,
        [](const QString& path) { return QFileInfo(path).isDir(); });
    QString failure = addKeptIndexStep(&plan, currentDir, downloadDir, programIndex);
    if (!failure.isEmpty()) {
        *reason = QStringLiteral("%1 install not started: %2").arg(version, failure);
        return false;
    }
    if (!transaction.prepare(plan, QLatin1String(recordKey()), recordVersion(), &failure)) {
        *reason = QStringLiteral("%1 install not started: %2").arg(version, failure);
        return false;
    }
    if (!transaction.apply(&failure)) {
        *reason = QStringLiteral("%1 install rolled back: %2").arg(version, failure);
        return false;
    }
    return true;
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
    reply->deleteLater();
    reply = nullptr;
    closeAndDeleteArchive();
    launchMainProgram();
}

void UpdateTarvilDialog::closeAndDeleteArchive()
{
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
        ui->label_text->setText(QStringLiteral("正在升级配置文件...%1").arg(VerList.at(VerIndex)));
        download(url);
    } else {
        launchMainProgram();
    }
}
