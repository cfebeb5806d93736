#include "debugtext.h"
#include "keptpartial.h"
#include "packagedownload.h"
#include "updatetarvildialog.h"

#include <QDebug>
#include <QFileInfo>
#include <QNetworkReply>

// A package the run could not finish is kept for the next run, which asks only for the rest.

namespace {

void logLine(const QString& text) { qDebug().noquote() << quoted(text); }

bool samePackagePath(const QString& a, const QString& b)
{
    return QUrl(a).path(QUrl::FullyDecoded) == QUrl(b).path(QUrl::FullyDecoded);
}

} // namespace

// Once the plan of the package type asked about is known: a kept partial of that type that
// the plan does not start with is deleted; one it starts with is remembered for its step,
// so the record is read once per question.
void UpdateTarvilDialog::settleKeptPartial(const QStringList& plan)
{
    QString why;
    const KeptPartial kept = readKeptPartial(appDir, &why);
    keptPartial = KeptPartial();
    if (!why.isEmpty())
        logLine(QStringLiteral("kept download dropped: %1").arg(why));
    if (!kept.isValid() || kept.packageType != curType)
        return;
    const QString needed = plan.isEmpty() ? QString() : (curType == 0 ? plan.last() : plan.first());
    if (kept.version == needed) {
        keptPartial = kept;
        return;
    }
    dropKeptPartial(appDir);
    logLine(QStringLiteral("%1 kept download dropped: no longer needed").arg(kept.version));
}

bool UpdateTarvilDialog::hasKeptPartialFor(const QString& url) const
{
    return !VerList.isEmpty() && keptPartial.isFor(curType, recordVersion())
        && samePackagePath(keptPartial.url, url);
}

// The kept bytes of the package at `url` moved into the download's place; not valid when
// none fits.
KeptPartial UpdateTarvilDialog::takeMatchingPartial(const QString& url, qint64 limit)
{
    if (!hasKeptPartialFor(url))
        return KeptPartial();
    // Taken once: the record goes with the bytes.
    const KeptPartial kept = keptPartial;
    keptPartial = KeptPartial();
    if (kept.total > limit) {
        dropKeptPartial(appDir);
        logLine(QStringLiteral("%1 kept download dropped: larger than %2 bytes")
                    .arg(kept.version)
                    .arg(limit));
        return KeptPartial();
    }
    if (!takeKeptPartial(appDir, QFileInfo(downloadFile->fileName()).absoluteFilePath())) {
        logLine(QStringLiteral("%1 kept download dropped: cannot be moved to %2")
                    .arg(kept.version, downloadFile->fileName()));
        return KeptPartial();
    }
    return kept;
}

// The close button or a failed transfer: what a range can continue stays for the next run.
void UpdateTarvilDialog::keepUnfinishedPackage()
{
    if (!downloadFile || !packageDownload || VerList.isEmpty())
        return;
    if (reply)
        reply->disconnect(this);
    packageDownload->keepUnfinished(appDir, curType);
}
