#include "configfile.h"
#include "debugtext.h"
#include "keptpartial.h"
#include "packagecheck.h"
#include "progressrange.h"
#include "request.h"
#include "updatetarvildialog.h"

#include <QDebug>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QStorageInfo>

void UpdateTarvilDialog::download(const QString& url)
{
    const QUrl parsed(url, QUrl::TolerantMode);
    const QString path = parsed.path(QUrl::FullyDecoded);
    const QString fileName = path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);

    delete downloadFile;
    downloadFile = new QFile(downloadDir + QLatin1Char('/') + fileName);
    downloadWriteFailed = false;
    downloadOverLimit = false;
    downloadLimitBytes = packageDownloadLimit(QStorageInfo(downloadDir).bytesAvailable());
    const KeptPartial kept = takeMatchingPartial(url);
    const QIODevice::OpenMode mode = kept.isValid() ? QIODevice::ReadWrite : QIODevice::WriteOnly;
    if (!downloadFile->open(mode)) {
        qDebug().noquote() << quoted(QStringLiteral("打开:%1 失败").arg(fileName));
        delete downloadFile;
        downloadFile = nullptr;
        // Waiting for the close button would leave the user without the main program.
        launchMainProgram();
        return;
    }
    announceDownload(url);
    packageRequestUrl = parsed;
    startPackageAttempts();
    if (kept.isValid())
        continueKeptPartial(kept);
    else
        requestPackage(parsed);
}

// The step's download line, once per package: a program step that fell back from fetching
// single files to the whole package has written it already.
void UpdateTarvilDialog::announceDownload(const QString& url)
{
    if (url == announcedDownloadUrl)
        return;
    announcedDownloadUrl = url;
    qDebug().noquote() << "download - curType:" << curType << quoted(url);
}

void UpdateTarvilDialog::requestPackage(const QUrl& url)
{
    // On the connection the version questions opened: a far-away server costs no new
    // connection set-up per package.
    QNetworkRequest request = makeRequest(url);
    // Without a validator a range could splice two versions.
    if (packageValidator.isEmpty() && downloadFile->size() > 0)
        restartPackageFromZero();
    resumeOffset = downloadFile->size();
    bodyDecided = false;
    rangeRefused = false;
    if (resumeOffset > 0) {
        request.setRawHeader("Range", "bytes=" + QByteArray::number(resumeOffset) + '-');
        request.setRawHeader("If-Range", packageValidator);
    }
    reply = networkManager->get(request);
    connect(reply, SIGNAL(readyRead()), this, SLOT(httpReadyRead()));
    connect(reply, SIGNAL(downloadProgress(qint64, qint64)), this,
        SLOT(downloadProgress(qint64, qint64)));
    connect(reply, SIGNAL(finished()), this, SLOT(downloadFinished()));
}

void UpdateTarvilDialog::httpReadyRead()
{
    if (!downloadFile)
        return;
    if (!bodyDecided && !decidePackageBody())
        return;
    const QByteArray data = reply->readAll();
    if (packageBodyUse == BodyUse::Discard)
        return;
    // Whatever the server declares or sends beyond the limit is refused at once. Aborting
    // finishes the reply before abort() returns: downloadFinished has run by then.
    const qint64 declared = packageHeader("Content-Length").toLongLong();
    if (resumeOffset + declared > downloadLimitBytes
        || downloadFile->pos() + data.size() > downloadLimitBytes) {
        downloadOverLimit = true;
        reply->abort();
        return;
    }
    // Stopped at the first failed write: a body that never ends would keep the run going.
    if (downloadFile->write(data) != data.size()) {
        downloadWriteFailed = true;
        reply->abort();
        return;
    }
    notePackageData(data);
    // Qt reports progress at most every 100 ms and not at all in a reply's first 100 ms:
    // bytes that arrive just before a stall would never reach the bar.
    if (packageTotal > 0)
        showDownloadShare(downloadFile->pos(), packageTotal);
}

void UpdateTarvilDialog::downloadProgress(qint64 current, qint64 total)
{
    // An error page is not part of the package.
    if (bodyDecided && packageBodyUse == BodyUse::Discard)
        return;
    // A resumed transfer counts only the rest: the bar shows the whole package.
    showDownloadShare(current + resumeOffset, total < 0 ? total : total + resumeOffset);
}

void UpdateTarvilDialog::showDownloadShare(qint64 done, qint64 total)
{
    const QPair<int, int> range = progressBarRange(done, total);
    showProgress(range.second, range.first);
}
