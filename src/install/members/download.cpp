#include "configfile.h"
#include "debugtext.h"
#include "keptpartial.h"
#include "packagecheck.h"
#include "packagedownload.h"
#include "progressrange.h"
#include "updatetarvildialog.h"

#include <QDebug>
#include <QFile>
#include <QNetworkAccessManager>
#include <QStorageInfo>
#include <QTimer>

// The dialog's side of a package transfer: it opens the local file, sends the requests the
// transfer forms and moves the bar; PackageDownload decides everything about the bytes.

void UpdateTarvilDialog::download(const QString& url)
{
    const QUrl parsed(url, QUrl::TolerantMode);
    const QString path = parsed.path(QUrl::FullyDecoded);
    const QString fileName = path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);

    delete packageDownload;
    packageDownload = nullptr;
    delete downloadFile;
    downloadFile = new QFile(downloadPath + QLatin1Char('/') + fileName);
    const qint64 limit = packageDownloadLimit(QStorageInfo(downloadPath).bytesAvailable());
    const KeptPartial kept = takeMatchingPartial(url, limit);
    const QIODevice::OpenMode mode = kept.isValid() ? QIODevice::ReadWrite : QIODevice::WriteOnly;
    if (!downloadFile->open(mode)) {
        qDebug().noquote() << quoted(QStringLiteral("打开:%1 失败").arg(fileName));
        delete downloadFile;
        downloadFile = nullptr;
        // Waiting for the close button would leave the user without the main program.
        launchMainProgram();
        return;
    }
    enterStep(RunStep::Downloading);
    announceDownload(url);
    startPackageDownload(url, limit, kept);
}

// `url` first; the same package on the servers listed after the current one if it fails.
void UpdateTarvilDialog::startPackageDownload(
    const QString& url, qint64 limit, const KeptPartial& kept)
{
    PackageDownload::Job job;
    job.urls = stepPackage.urls;
    job.server = qMin(packageServerIndex, qMax(0, job.urls.size() - 1));
    if (job.urls.isEmpty())
        job.urls.append(url);
    else
        job.urls[job.server] = url;
    job.version = recordVersion();
    job.limitBytes = limit;
    job.hash = !trustedKeyLines.isEmpty();
    packageDownload = new PackageDownload(downloadFile, job, this);
    connect(packageDownload, &PackageDownload::ready, this, [this] {
        if (!downloadFile || handOverStarted)
            return;
        if (packageDownload->isComplete())
            verifyThenInstall();
        else
            requestPackage(packageDownload->url());
    });
    if (kept.isValid())
        packageDownload->continueKept(kept);
    else
        requestPackage(packageDownload->url());
}

void UpdateTarvilDialog::requestPackage(const QUrl& url)
{
    // On the connection the version questions opened: a far-away server costs no new
    // connection set-up per package.
    reply = packageDownload->send(networkManager, url);
    connect(reply, SIGNAL(readyRead()), this, SLOT(httpReadyRead()));
    connect(reply, SIGNAL(downloadProgress(qint64, qint64)), this,
        SLOT(downloadProgress(qint64, qint64)));
    connect(reply, SIGNAL(finished()), this, SLOT(downloadFinished()));
}

void UpdateTarvilDialog::httpReadyRead()
{
    if (!downloadFile || !packageDownload)
        return;
    // Qt reports progress at most every 100 ms and not at all in a reply's first 100 ms:
    // bytes that arrive just before a stall would never reach the bar.
    if (packageDownload->receive())
        showDownloadShare(packageDownload->bytesOnDisk(), packageDownload->total());
}

void UpdateTarvilDialog::downloadProgress(qint64 current, qint64 total)
{
    // The differential fetch reports the share of its own ranges.
    if (!packageDownload) {
        showDownloadShare(current, total);
        return;
    }
    qint64 done = 0;
    qint64 whole = 0;
    if (packageDownload->share(current, total, &done, &whole))
        showDownloadShare(done, whole);
}

void UpdateTarvilDialog::showDownloadShare(qint64 done, qint64 total)
{
    const QPair<int, int> range = progressBarRange(done, total);
    showProgress(range.second, range.first);
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

void UpdateTarvilDialog::downloadFinished()
{
    const PackageDownload::Outcome outcome = packageDownload->finish();
    // A server given up stays given up for the rest of the run.
    packageServerIndex = packageDownload->server();
    switch (outcome.next) {
    case PackageDownload::Outcome::AskAgain:
        askAgainAfter(outcome.delaySeconds);
        return;
    case PackageDownload::Outcome::Failed:
        keepUnfinishedPackage();
        abandonPackage(outcome.cause);
        return;
    case PackageDownload::Outcome::Complete:
        verifyThenInstall();
        return;
    }
}

// One request in flight: the failed reply goes now, the next one after the pause. The
// window keeps its event loop meanwhile, so the close button still ends the run at once.
void UpdateTarvilDialog::askAgainAfter(int seconds)
{
    releaseReply();
    QTimer::singleShot(seconds * 1000, this, [this] {
        if (downloadFile && packageDownload && !handOverStarted)
            requestPackage(packageDownload->url());
    });
}
