#include "configfile.h"
#include "debugtext.h"
#include "extraction.h"
#include "installrule.h"
#include "packagecheck.h"
#include "ui_updatetarvildialog.h"
#include "updatetarvildialog.h"

#include <quazip/JlCompress.h>

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
        download(packageUrl());
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
    if (!downloadSucceeded(&failure) || !installPackage(downloadFile->fileName(), &failure)) {
        abandonPackage(failure);
        return;
    }
    writeIni();
    reply->deleteLater();
    reply = nullptr;
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
    } else if (reply->error() != QNetworkReply::NoError) {
        *reason = QStringLiteral("%1 download failed: error %2 %3")
                      .arg(version, QString::number(int(reply->error())), reply->errorString());
    } else if (status != 200) {
        *reason = QStringLiteral("%1 download failed: HTTP status %2").arg(version).arg(status);
    } else {
        return true;
    }
    return false;
}

// Extracts the archive into the download directory and moves its files over the
// installation. False, with the reason, when anything of the package did not land.
bool UpdateTarvilDialog::installPackage(const QString& archive, QString* reason)
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
    const QString currentDir = QDir::currentPath();
    const auto plan = planInstallation(extracted, currentDir, downloadDir,
        [](const QString& path) { return QFileInfo(path).isDir(); });
    int failed = 0;
    for (const InstallAction& action : plan)
        failed += installEntry(action) ? 0 : 1;
    if (failed > 0) {
        *reason = QStringLiteral("%1 install incomplete: %2 entries not installed")
                      .arg(version)
                      .arg(failed);
        return false;
    }
    return true;
}

bool UpdateTarvilDialog::installEntry(const InstallAction& action)
{
    const QString& source = action.source;
    if (action.kind == InstallAction::DropConfig) {
        QFile::remove(source);
        return true;
    }
    qDebug().noquote() << quoted(
        QStringLiteral("[UpdateTarvilDialog]:down_zip-files[OK]:%1").arg(source));
    const QString& target = action.target;
    if (action.kind == InstallAction::MakeDirectory) {
        qDebug().noquote() << "temppath:" << quoted(target);
        if (QFileInfo(target).isDir() || QDir().mkdir(target))
            return true;
        qDebug().noquote() << "[UpdateTarvilDialog]:[ERROR]:CreateDir:" << quoted(target);
        return false;
    }
    const QFileInfo existing(target);
    if ((existing.exists() || existing.isSymLink()) && !QFile::remove(target))
        qDebug().noquote() << quoted(
            QStringLiteral("[UpdateTarvilDialog]:[ERROR]:remove:%1").arg(target));
    // A move within one file system; QFile falls back to copy and delete across them.
    if (QFile::rename(source, target))
        return true;
    qDebug().noquote() << quoted(
        QStringLiteral("[UpdateTarvilDialog]:[ERROR]:[%1]->\n\t[%2]").arg(source, target));
    return false;
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
