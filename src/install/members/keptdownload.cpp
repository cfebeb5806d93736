#include "debugtext.h"
#include "keptpartial.h"
#include "updatetarvildialog.h"

#include <QDebug>
#include <QFileInfo>
#include <QFutureWatcher>
#include <QNetworkReply>
#include <QtConcurrent>

// A package the run could not finish is kept for the next run, which asks only for the rest.

namespace {

void logLine(const QString& text) { qDebug().noquote() << quoted(text); }

bool samePackagePath(const QString& a, const QString& b)
{
    return QUrl(a).path(QUrl::FullyDecoded) == QUrl(b).path(QUrl::FullyDecoded);
}

} // namespace

// Once the plan of the package type asked about is known: a kept partial of that type that
// the plan does not start with is deleted.
void UpdateTarvilDialog::settleKeptPartial(const QStringList& plan)
{
    QString why;
    const KeptPartial kept = readKeptPartial(appDir, &why);
    if (!why.isEmpty())
        logLine(QStringLiteral("kept download dropped: %1").arg(why));
    if (!kept.isValid() || kept.packageType != curType)
        return;
    const QString needed = plan.isEmpty() ? QString() : (curType == 0 ? plan.last() : plan.first());
    if (kept.version == needed)
        return;
    dropKeptPartial(appDir);
    logLine(QStringLiteral("%1 kept download dropped: no longer needed").arg(kept.version));
}

bool UpdateTarvilDialog::hasKeptPartialFor(const QString& url) const
{
    if (VerList.isEmpty())
        return false;
    const KeptPartial kept = readKeptPartial(appDir);
    return kept.isFor(curType, recordVersion()) && samePackagePath(kept.url, url);
}

// The kept bytes of the package at `url` moved into the download's place; not valid when
// none fits.
KeptPartial UpdateTarvilDialog::takeMatchingPartial(const QString& url)
{
    if (!hasKeptPartialFor(url))
        return KeptPartial();
    const KeptPartial kept = readKeptPartial(appDir);
    if (kept.total > downloadLimitBytes) {
        dropKeptPartial(appDir);
        logLine(QStringLiteral("%1 kept download dropped: larger than %2 bytes")
                    .arg(kept.version)
                    .arg(downloadLimitBytes));
        return KeptPartial();
    }
    if (!takeKeptPartial(appDir, QFileInfo(downloadFile->fileName()).absoluteFilePath())) {
        logLine(QStringLiteral("%1 kept download dropped: cannot be moved to %2")
                    .arg(kept.version, downloadFile->fileName()));
        return KeptPartial();
    }
    return kept;
}

// The request continues the kept bytes under their validator; with trusted keys they are
// hashed first, on a worker thread, so the signature covers every byte of the package.
void UpdateTarvilDialog::continueKeptPartial(const KeptPartial& kept)
{
    packageTotal = kept.total;
    packageValidator = kept.validator;
    downloadFile->seek(downloadFile->size());
    logLine(QStringLiteral("%1 download continues from %2 of %3 bytes kept by an earlier run")
                .arg(kept.version)
                .arg(kept.size)
                .arg(kept.total));
    if (trustedKeyLines.isEmpty()) {
        requestPackage(packageRequestUrl);
        return;
    }
    packageHasher.takeDigest();
    keptHashing = new QFutureWatcher<bool>(this);
    connect(keptHashing, &QFutureWatcher<bool>::finished, this, [this] {
        const bool hashed = keptHashing->result();
        keptHashing->deleteLater();
        keptHashing = nullptr;
        if (!downloadFile || handOverStarted)
            return;
        if (!hashed)
            restartPackageFromZero();
        requestPackage(packageRequestUrl);
    });
    const QString file = QFileInfo(downloadFile->fileName()).absoluteFilePath();
    PackageHasher* hasher = &packageHasher;
    const qint64 size = kept.size;
    keptHashing->setFuture(
        QtConcurrent::run([file, size, hasher] { return hashFileInto(file, size, hasher); }));
}

// The bytes of a package that did not finish stay for the next run when a range can continue
// them: a validator and a known length are needed.
void UpdateTarvilDialog::keepUnfinishedPackage()
{
    if (!downloadFile || downloadOverLimit || downloadWriteFailed || rangeRefused
        || downloadFile->size() == 0 || VerList.isEmpty())
        return;
    // Complete already: the run ended while its signature was fetched.
    if (packageTotal > 0 && downloadFile->size() >= packageTotal)
        return;
    if (reply)
        reply->disconnect(this);
    KeptPartial kept;
    kept.packageType = curType;
    kept.version = recordVersion();
    kept.url = packageRequestUrl.toString(QUrl::FullyEncoded);
    kept.validator = packageValidator;
    kept.total = packageTotal;
    kept.size = downloadFile->size();
    downloadFile->close();
    const QString failure = kept.isValid()
        ? keepPartial(appDir, QFileInfo(downloadFile->fileName()).absoluteFilePath(), kept)
        : QStringLiteral("the server named no ETag, Last-Modified or length");
    if (failure.isEmpty())
        logLine(QStringLiteral("%1 download kept for the next run at %2 of %3 bytes")
                    .arg(kept.version)
                    .arg(kept.size)
                    .arg(kept.total));
    else
        logLine(QStringLiteral("%1 download not kept: %2").arg(kept.version, failure));
}
